#include "ui/frmMain.h"

#include "commands/order_lookup.h"
#include "commands/print_run.h"
#include "commands/printed_elsewhere.h"
#include "commands/setup_printer.h"
#include "commands/startup.h"
#include "text/text.h"
#include "ui/qt_ui.h"
#include "ui/twips.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

// How long closing the window waits for a running command.
constexpr std::chrono::milliseconds closingGrace{1500};

QComboBox* editableComboBox(QWidget* parent, const QStringList& entries, const QString& text)
{
    auto* box = new QComboBox(parent);
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->addItems(entries);
    box->setCurrentText(text);
    return box;
}

QLabel* captionLabel(QWidget* parent, const QString& caption, QWidget* buddy)
{
    auto* label = new QLabel(caption, parent);
    label->setBuddy(buddy);
    return label;
}

// Where messages go once nobody may be there to read a box: one line each.
class StandardErrorMessages : public MessageBox {
public:
    void show(const std::string& text, MessageIcon) override
    {
        std::string line = text;
        std::replace(line.begin(), line.end(), '\n', ' ');
        std::fprintf(stderr, "travcard: %s\n", line.c_str());
    }
};

}  // namespace

frmMain::frmMain(MessageBox* messages, QWidget* parent) : QWidget(parent), commands_(*this)
{
    if (!messages) {
        ownMessages_ = std::make_unique<QtMessageBox>(this);
        messages = ownMessages_.get();
    }
    messages_ = messages;
    commands_.busyChanged = [this](bool busy) {
        if (busy)
            busyPointer_.emplace();
        else
            busyPointer_.reset();
    };
    setWindowTitle("Create Move Tickets");
    setFont(sansSerifFont(8.25));
    createControls();
    layOutControls();
    setTabOrder();
    connectCommands();
    previewHandler = [this](std::string bytes, bool zebra) { showInPreviewWindow(std::move(bytes), zebra); };
    cmbLocation->setFocus();
}

frmMain::~frmMain()
{
    delete nested_.data();
    delete preview_.data();
    delete history_.data();
}

namespace {

struct ReadPreview {
    std::vector<Message> messages;
    std::shared_ptr<travcard::render::PageSet> pages;
};

}  // namespace

// A run of thousands of tickets takes a while to read: the job runner reads
// it, and the window stays live. preview: is never asked its resolution (DPI=auto):
// the run laid its labels out at the configured one.
void frmMain::showInPreviewWindow(std::string bytes, bool zebra)
{
    auto stream = std::make_shared<const std::string>(std::move(bytes));
    const PrinterKind kind = zebra ? PrinterKind::Zebra : PrinterKind::Epson;
    const int dpi = commands_.printer().settings.resolution.dpi;
    commands_.run<ReadPreview>(
        [stream, kind, dpi](DatabaseSession&) {
            const QByteArray view = QByteArray::fromRawData(stream->data(), static_cast<qsizetype>(stream->size()));
            return ReadPreview{{}, std::make_shared<travcard::render::PageSet>(view, kind, dpi)};
        },
        [this](ReadPreview read) {
            messages_->showAll(read.messages);
            if (!read.pages)
                return;
            if (!preview_)
                preview_ = new PreviewWindow(messages_);
            preview_->showPages(std::move(*read.pages));
        });
}

void frmMain::createControls()
{
    Label1 = new QLabel("Corvanta", this);
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label1->setFont(sansSerifFont(13.5));

    cmbLocation = editableComboBox(this, {"HM", "ST"}, "ST");
    txtOrder = new QLineEdit(this);
    txtSuffix = new QLineEdit(this);
    cmdLocate = new QPushButton("Locate", this);
    cmbOper = editableComboBox(this, {"01", "02", "03", "04"}, "All");
    cmdNestedParts = new QPushButton("Nested Parts", this);
    cmdNestedParts->setEnabled(false);
    txtQty = new QLineEdit(this);
    txtMaterial = new QLineEdit(this);
    txtMaterial->setEnabled(false);
    QPalette grey = txtMaterial->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        grey.setColor(group, QPalette::Base, QColor(0xC0, 0xC0, 0xC0));
    txtMaterial->setPalette(grey);
    cmdPrint = new QPushButton("Print", this);
    cmdSetupPrt = new QPushButton("Setup Printer", this);
    cmdHistory = new QPushButton("History", this);
    for (QPushButton* button : {cmdLocate, cmdNestedParts, cmdPrint, cmdSetupPrt, cmdHistory}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    Label2[0] = captionLabel(this, "Location:", cmbLocation);
    Label2[1] = captionLabel(this, "Shop Order:", txtOrder);
    Label2[2] = captionLabel(this, "Suffix:", txtSuffix);
    Label2[3] = captionLabel(this, "Operations:", cmbOper);
    Label4 = captionLabel(this, "Qty to Print:", txtQty);
    Label3 = captionLabel(this, "Part Number:", txtMaterial);
}

void frmMain::layOutControls()
{
    const TwipsLayout twips(*this);
    twips.setClientSize(*this, 4680, 4380);
    twips.place(*Label1, 600, 120, 3375, 375);
    twips.place(*Label2[0], 600, 720, 855, 255);
    twips.place(*cmbLocation, 1680, 600, 615, 315);
    twips.place(*Label2[1], 600, 1200, 855, 255);
    twips.place(*txtOrder, 1680, 1080, 1335, 360);
    twips.place(*Label2[2], 600, 1680, 615, 255);
    twips.place(*txtSuffix, 1680, 1560, 495, 360);
    twips.place(*cmdLocate, 3360, 1440, 975, 495);
    twips.place(*Label2[3], 600, 2160, 855, 255);
    twips.place(*cmbOper, 1680, 2040, 1215, 315);
    twips.place(*cmdNestedParts, 3360, 2160, 975, 495);
    twips.place(*Label4, 600, 2640, 975, 255);
    twips.place(*txtQty, 1680, 2520, 495, 360);
    twips.place(*Label3, 600, 3120, 975, 255);
    twips.place(*txtMaterial, 1680, 3000, 2895, 330);
    twips.place(*cmdPrint, 1920, 3600, 975, 495);
    twips.place(*cmdSetupPrt, 3480, 3600, 975, 495);
    twips.place(*cmdHistory, 360, 3600, 975, 495);
    for (QLabel* label : {Label2[0], Label2[1], Label2[2], Label2[3], Label3, Label4})
        TwipsLayout::widenToFitCaption(*label);
    for (QPushButton* button : {cmdLocate, cmdNestedParts, cmdPrint, cmdSetupPrt, cmdHistory})
        TwipsLayout::widenToFitCaption(*button);
}

void frmMain::setTabOrder()
{
    QWidget* const order[] = {cmbLocation, txtOrder, txtSuffix,   cmdLocate,      txtQty,
                              cmdPrint,    cmbOper,  cmdSetupPrt, cmdNestedParts, cmdHistory};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        QWidget::setTabOrder(order[i], order[i + 1]);
}

void frmMain::connectCommands()
{
    connect(cmdLocate, &QPushButton::clicked, this, &frmMain::cmdLocate_Click);
    connect(cmdPrint, &QPushButton::clicked, this, &frmMain::cmdPrint_Click);
    connect(cmdSetupPrt, &QPushButton::clicked, this, &frmMain::cmdSetupPrt_Click);
    connect(cmdNestedParts, &QPushButton::clicked, this, &frmMain::cmdNestedParts_Click);
    connect(txtOrder, &QLineEdit::returnPressed, this, &frmMain::orderEntered);
    connect(cmdHistory, &QPushButton::clicked, this, &frmMain::cmdHistory_Click);
}

void frmMain::cmdHistory_Click()
{
    if (!history_)
        history_ = new PrintHistoryWindow(journal_, messages_,
                                          [this](std::int64_t run, std::vector<int> positions, int cards,
                                                 std::string source) {
                                              printAgain(run, std::move(positions), cards, std::move(source));
                                          });
    else
        history_->refresh();
    history_->show();
    history_->raise();
    history_->activateWindow();
}

// Print the Rest and Reprint, from the history window, to today's printer.
void frmMain::printAgain(std::int64_t run, std::vector<int> positions, int cards, std::string source)
{
    if (commands_.running()) {
        messages_->show("A print run is in progress. Try again when it has ended.", MessageIcon::Warning);
        return;
    }
    ReprintRequest request{run, std::move(positions), cards, std::move(source), commands_.printer(),
                           watchPrinting(), journal_};
    commands_.reprint(std::move(request), [this](PrintResult result) {
        printProgress_.reset();
        messages_->showAll(result.messages);
        showPreview(result.preview);
        if (history_)
            history_->refresh();
    });
}

// A scanner types a ticket's order barcode and Enter: the barcode fills the
// order and suffix boxes, and Enter locates, as it does after a typed order.
void frmMain::orderEntered()
{
    if (const std::optional<ScannedOrder> scanned = scannedOrder(txtOrder->text().toStdString())) {
        txtOrder->setText(QString::fromStdString(scanned->order));
        txtSuffix->setText(QString::fromStdString(scanned->suffix));
    }
    if (cmdLocate->isEnabled())
        cmdLocate_Click();
}

std::optional<int> frmMain::Form_Load(const std::string& programDir)
{
    std::optional<PrinterSettings> settings = loadPrinterSettings(programDir, *messages_);
    if (!settings)
        return 1;
    commands_.printer() = {*settings, false};
    journal_ = openStationJournal(programDir, *messages_);
    const std::optional<OpenDatabaseResult> opened = commands_.runAndWait<OpenDatabaseResult>(
        [](DatabaseSession& db, std::stop_token) { return openDatabaseCommand(db); });
    messages_->showAll(opened ? opened->messages : std::vector<Message>{});
    if (!opened || !opened->opened)
        return 2;
    txtSuffix->setText("0");
    cmdPrint->setEnabled(false);
    return std::nullopt;
}

void frmMain::cmdSetupPrt_Click()
{
    const PrinterSettings printer = commands_.printer().settings;
    commands_.runStoppable<SetupPrinterResult>(
        [printer](DatabaseSession&, std::stop_token stop) { return setupPrinter(printer, stop); },
        [this](SetupPrinterResult result) {
            messages_->showAll(result.messages);
            showPreview(result.preview);
        });
}

void frmMain::cmdLocate_Click()
{
    const LocateRequest request{orderSelection()};
    const bool started = commands_.run<LocateResult>(
        [request](DatabaseSession& db) { return locateOrder(db, request); },
        [this](const LocateResult& result) { applyLocate(result); });
    if (started) {
        cmdNestedParts->setEnabled(false);
        cmdPrint->setEnabled(false);
    }
}

void frmMain::applyLocate(const LocateResult& result)
{
    messages_->showAll(result.messages);
    using Outcome = LocateResult::Outcome;
    switch (result.outcome) {
    case Outcome::OrderTooLong:
    case Outcome::Failed:
        break;
    case Outcome::NotFound:
        rsHDR.reset();
        txtMaterial->clear();
        break;
    case Outcome::NoOperations:
    case Outcome::Found:
        rsHDR = result.header;
        txtMaterial->setText(QString::fromStdString(result.header->partNumber));
        txtQty->setText("1");
        cmdPrint->setEnabled(true);
        break;
    }
    if (result.outcome == Outcome::Found) {
        cmbOper->clear();
        cmbOper->addItem("All");
        for (const std::string& operation : result.operations)
            cmbOper->addItem(QString::fromStdString(operation));
        cmbOper->setCurrentIndex(0);
        cmbOper->setCurrentText("All");
        cmdNestedParts->setEnabled(true);
    }
}

// The list entry that the operator selected; a typed text that selects no
// entry stands for itself, trimmed.
std::string frmMain::selectedOperation() const
{
    const int index = cmbOper->currentIndex();
    if (index >= 0 && cmbOper->itemText(index) == cmbOper->currentText())
        return cmbOper->itemText(index).toStdString();
    return std::string(text::trimSpaces(cmbOper->currentText().toStdString()));
}

// The boxes are read at the click. When another station sharing the
// journal printed the order within the hour, the operator is asked first
// (the journal read on the job runner); No prints nothing.
void frmMain::cmdPrint_Click()
{
    // Print is enabled only once Locate has found a header.
    if (!rsHDR || commands_.running())
        return;
    PrintRequest request{orderSelection(),
                         chooseOperation(cmbOper->currentText().toStdString(), selectedOperation()),
                         parseQuantity(txtQty->text().toStdString()),
                         *rsHDR,
                         commands_.printer(),
                         nullptr,
                         journal_};
    // A quantity refused prints nothing: there is nothing to ask.
    if (!journal_ || journal_->off() || !request.quantity) {
        printOrder(std::move(request));
        return;
    }
    const OrderSelection order = request.order;
    commands_.run<PrintedElsewhere>(
        [journal = journal_, order](DatabaseSession&) { return findPrintedElsewhere(journal, order); },
        [this, request = std::move(request)](PrintedElsewhere found) mutable {
            if (closing_)
                return;
            // A signal that comes while the question is open answers No, and closes the window.
            if (found.run && (!messages_->ask(printAgainQuestion(*found.run), MessageIcon::Warning) || closing_))
                return;
            printOrder(std::move(request));
        });
}

void frmMain::printOrder(PrintRequest request)
{
    request.printer = commands_.printer();
    request.progress = watchPrinting();
    const bool started = commands_.print(std::move(request), [this](PrintResult result) {
        printProgress_.reset();
        messages_->showAll(result.messages);
        showPreview(result.preview);
    });
    if (started)
        cmdNestedParts->setEnabled(false);
}

// Only called while no command runs: a command refused by the gate must not
// take the running print's dialog.
std::shared_ptr<PrintProgress> frmMain::watchPrinting()
{
    auto progress = std::make_shared<PrintProgress>();
    printProgress_ = std::make_unique<PrintProgressDialog>(*this, progress);
    return progress;
}

void frmMain::showPreview(std::optional<std::string>& preview)
{
    if (preview && previewHandler)
        previewHandler(std::move(*preview), commands_.printer().settings.kind == PrinterKind::Zebra);
}

OrderSelection frmMain::orderSelection() const
{
    return selectOrder(txtOrder->text().toStdString(), cmbLocation->currentText().toStdString(),
                       txtSuffix->text().toStdString());
}

MainWindowTexts frmMain::nestedPrintTexts() const
{
    return {txtOrder->text().toStdString(), txtSuffix->text().toStdString(),
            cmbLocation->currentText().toStdString(), cmbOper->currentText().toStdString(),
            txtQty->text().toStdString()};
}

void frmMain::printNested(const NestedTexts& typed, std::function<void(AfterNestedPrint)> whenDone)
{
    if (commands_.running())
        return;
    NestedPrintRequest request =
        nestedPrintRequest(nestedPrintTexts(), rsHDR, commands_.printer().settings, typed, watchPrinting());
    request.journal = journal_;
    commands_.printNested(request, [this, whenDone](NestedPrintResult result) {
        printProgress_.reset();
        messages_->showAll(result.messages);
        showPreview(result.preview);
        whenDone(result.after);
    });
}

void frmMain::cmdNestedParts_Click()
{
    if (commands_.running())
        return;
    if (cmbOper->currentText() == "All") {
        messages_->show("Cannot use nested parts form on an 'All' Operation", MessageIcon::Warning);
        return;
    }
    // A window closed a moment ago is hidden until its deletion comes round.
    if (!nested_ || !nested_->isVisible())
        nested_ = new frmNested(commands_, [this](const NestedTexts& typed, auto whenDone) {
            printNested(typed, std::move(whenDone));
        });
    nested_->setWindowState(nested_->windowState() & ~Qt::WindowMinimized);
    nested_->show();
    nested_->raise();
    nested_->activateWindow();
}

void frmMain::endOnSignal()
{
    if (!unattendedMessages_)
        unattendedMessages_ = std::make_unique<StandardErrorMessages>();
    messages_ = unattendedMessages_.get();
    QCoreApplication::exit(0);
}

// A print run stops after the ticket it is sending, if the operator agrees.
// A signal that comes while the question is open answers it.
bool frmMain::mayClose()
{
    if (!printProgress_ || unattendedMessages_)
        return true;
    const bool stop =
        messages_->ask("A print run is in progress. Stop after the current ticket and close?", MessageIcon::Warning);
    return stop || unattendedMessages_;
}

void frmMain::closeEvent(QCloseEvent* event)
{
    // Any command other than a print run gets a moment to finish. One stuck
    // in a database call is given up, so that closing always ends the program.
    if (!mayClose()) {
        event->ignore();
        return;
    }
    // The run may take as long as the printer to reach its next ticket:
    // the windows go at once rather than stand still meanwhile.
    hide();
    if (nested_)
        nested_->hide();
    // A run that ends now must not start reading its preview: that job
    // would keep the nested window from closing, and the program alive.
    previewHandler = nullptr;
    closing_ = true;
    commands_.finishOrAbandon(closingGrace);
    if (nested_)
        nested_->close();
    if (preview_)
        preview_->close();
    if (history_)
        history_->close();
    commands_.database().close();
    event->accept();
}
