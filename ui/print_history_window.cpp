#include "ui/print_history_window.h"

#include "commands/order_values.h"
#include "commands/run_json.h"
#include "exactly_once/cups_runs.h"
#include "journal/station_name.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int runsShown = 200;

const QStringList columns{"Time", "Location", "Order", "Suffix", "Operation", "Quantity", "Printer", "Sent", "Outcome"};
// Where the Station column goes when every station's runs are shown.
constexpr int stationColumn = 1;

QString text(const std::string& value) { return QString::fromStdString(value); }

QStringList cells(const RunRecord& run, bool withStation)
{
    QStringList values{QDateTime::fromMSecsSinceEpoch(run.started).toString("yyyy-MM-dd HH:mm:ss"),
                       text(run.location),
                       text(run.order),
                       text(run.suffix),
                       text(run.operation),
                       text(run.quantity),
                       text(run.printer),
                       text(sentOfPlanned(run)),
                       run.outcome.empty() ? QString("running") : text(run.outcome)};
    if (withStation)
        values.insert(stationColumn, text(run.station));
    return values;
}

QString stateOf(const TicketRecord& ticket, const RunRecord& run)
{
    switch (ticket.state) {
    case TicketState::Planned: return "planned";
    case TicketState::Confirmed: return "confirmed";
    case TicketState::Sending: return run.ended ? "in doubt" : "sending";
    }
    return "planned";
}

QPushButton* button(const QString& caption, QWidget* parent)
{
    auto* pushButton = new QPushButton(caption, parent);
    pushButton->setAccessibleName(caption);
    pushButton->setAutoDefault(false);
    return pushButton;
}

}  // namespace

PrintHistoryWindow::PrintHistoryWindow(std::shared_ptr<JournalAccess> journal, MessageBox* messages, Print print,
                                       QWidget* parent)
    : QWidget(parent, Qt::Window), journal_(std::move(journal)), messages_(messages), print_(std::move(print))
{
    setWindowTitle("Print History");
    lblFind = new QLabel("Find", this);
    txtFind = new QLineEdit(this);
    txtFind->setAccessibleName("Find");
    lblFind->setBuddy(txtFind);
    chkAllStations = new QCheckBox("All stations", this);
    chkAllStations->setAccessibleName("All stations");
    grdRuns = new QTableWidget(0, static_cast<int>(columns.size()), this);
    grdRuns->setAccessibleName("Runs");
    grdRuns->setHorizontalHeaderLabels(columns);
    grdRuns->setSelectionBehavior(QAbstractItemView::SelectRows);
    grdRuns->setSelectionMode(QAbstractItemView::SingleSelection);
    grdRuns->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdRuns->verticalHeader()->hide();
    cmdPrintRest = button("Print the Rest", this);
    cmdReprint = button("Reprint", this);

    auto* find = new QHBoxLayout;
    find->addWidget(lblFind);
    find->addWidget(txtFind);
    find->addWidget(chkAllStations);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdPrintRest);
    buttons->addWidget(cmdReprint);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(find);
    layout->addWidget(grdRuns);
    layout->addLayout(buttons);
    resize(900, 420);

    connect(txtFind, &QLineEdit::returnPressed, this, [this] { findEntered(); });
    connect(chkAllStations, &QCheckBox::toggled, this, [this] { refresh(); });
    connect(cmdPrintRest, &QPushButton::clicked, this, [this] { printTheRest(); });
    connect(cmdReprint, &QPushButton::clicked, this, [this] { openReprint(); });
    if (journal_)
        connection_ = journal_->open(*messages_);
    refresh();
}

PrintHistoryWindow::~PrintHistoryWindow() = default;

void PrintHistoryWindow::refresh()
{
    std::vector<RunRecord> runs;
    if (connection_) {
        try {
            settleCupsRuns(*connection_);
            const bool all = chkAllStations->isChecked();
            runs = connection_->runs(runsShown, order_, 0, 0, all ? std::string() : stationName().toStdString());
        } catch (const JournalError& error) {
            messages_->show(error.what(), MessageIcon::Critical);
        }
    }
    if (scannedOrder_)
        std::erase_if(runs, [this](const RunRecord& run) { return run.suffix != suffix_; });
    showRuns(runs);
}

void PrintHistoryWindow::showRuns(const std::vector<RunRecord>& runs)
{
    runs_ = runs;
    const bool withStation = chkAllStations->isChecked();
    QStringList headers = columns;
    if (withStation)
        headers.insert(stationColumn, "Station");
    grdRuns->setColumnCount(static_cast<int>(headers.size()));
    grdRuns->setHorizontalHeaderLabels(headers);
    grdRuns->setRowCount(static_cast<int>(runs_.size()));
    for (int row = 0; row < static_cast<int>(runs_.size()); ++row) {
        const RunRecord& run = runs_[static_cast<std::size_t>(row)];
        const QStringList values = cells(run, withStation);
        for (int column = 0; column < values.size(); ++column) {
            auto* item = new QTableWidgetItem(values[column]);
            // Why a run ended as it did, such as the printer that could not be opened.
            item->setToolTip(text(run.message));
            grdRuns->setItem(row, column, item);
        }
    }
    grdRuns->resizeColumnsToContents();
    if (!runs_.empty())
        grdRuns->selectRow(0);
}

std::optional<RunRecord> PrintHistoryWindow::selectedRun() const
{
    const QList<QTableWidgetItem*> selected = grdRuns->selectedItems();
    if (selected.isEmpty())
        return std::nullopt;
    return runs_.at(static_cast<std::size_t>(selected.front()->row()));
}

std::vector<TicketRecord> PrintHistoryWindow::ticketsOf(std::int64_t run)
{
    if (!connection_)
        return {};
    try {
        return connection_->tickets(run);
    } catch (const JournalError& error) {
        messages_->show(error.what(), MessageIcon::Critical);
        return {};
    }
}

// An order barcode filters the runs by its order and suffix and waits for
// an operation barcode; anything else filters by the order number typed.
void PrintHistoryWindow::findEntered()
{
    const std::string typed = txtFind->text().trimmed().toStdString();
    if (const std::optional<ScannedOrder> scanned = scannedOrder(typed)) {
        order_ = scanned->order;
        suffix_ = scanned->suffix;
        scannedOrder_ = true;
        txtFind->clear();
        refresh();
        return;
    }
    const std::optional<std::int64_t> operation = wholeNumber(typed);
    if (scannedOrder_ && operation) {
        txtFind->clear();
        for (int row = 0; row < static_cast<int>(runs_.size()); ++row) {
            const std::vector<TicketRecord> tickets = ticketsOf(runs_[static_cast<std::size_t>(row)].id);
            for (const TicketRecord& ticket : tickets)
                if (wholeNumber(ticket.operation) == operation) {
                    grdRuns->selectRow(row);
                    openReprint(ticket.position);
                    return;
                }
        }
        messages_->show("The print journal holds no ticket of operation " + std::to_string(*operation) +
                            " of order " + order_ + ".",
                        MessageIcon::None);
        return;
    }
    order_ = typed;
    scannedOrder_ = false;
    refresh();
}

// Read afresh: a run still going (here or in another program sharing the
// journal) is not finished by a second one, nor a run finished once: what
// its rest did not print is that run's rest. The journal refuses both again
// when the rest's run is recorded, in case another program got there since.
void PrintHistoryWindow::printTheRest()
{
    std::optional<RunRecord> run = selectedRun();
    if (!run || !connection_)
        return;
    std::optional<std::int64_t> finishedBy;
    try {
        connection_->closeInterruptedRuns();
        run = connection_->run(run->id);
        if (run)
            finishedBy = connection_->runPrintingTheRestOf(run->id);
    } catch (const JournalError& error) {
        messages_->show(error.what(), MessageIcon::Critical);
        return;
    }
    if (!run)
        return;
    if (!run->ended) {
        messages_->show(stillPrintingMessage(run->id), MessageIcon::Warning);
        return;
    }
    if (finishedBy) {
        messages_->show(restTakenMessage(run->id, *finishedBy), MessageIcon::Warning);
        return;
    }
    const std::vector<TicketRecord> tickets = ticketsOf(run->id);
    const std::vector<int> positions = unconfirmedTickets(tickets);
    const std::string number = std::to_string(run->id);
    if (!ticketsKept(*run, tickets)) {
        messages_->show(notBuiltMessage(run->id), MessageIcon::None);
        return;
    }
    if (positions.empty()) {
        messages_->show("Every ticket of run " + number + " was printed.", MessageIcon::None);
        return;
    }
    const auto inDoubt = std::count_if(tickets.begin(), tickets.end(), [&run](const TicketRecord& ticket) {
        return ticket.state == TicketState::Sending && run->ended;
    });
    QString question = QString("%1 tickets of run %2 will be printed.").arg(positions.size()).arg(run->id);
    if (inDoubt > 0 && run->printed > 0)
        question += "\n" + text(inDoubtLine(*run, static_cast<int>(inDoubt)));
    else if (inDoubt > 0)
        question += QString("\n%1 of them may already have printed.").arg(inDoubt);
    if (messages_->ask((question + "\nPrint them?").toStdString(), MessageIcon::Warning))
        print_(run->id, positions, 0, printTheRestSource(run->id));
}

void PrintHistoryWindow::openReprint(std::optional<int> preselected)
{
    const std::optional<RunRecord> run = selectedRun();
    if (!run)
        return;
    delete reprint_;
    reprint_ = new QDialog(this);
    reprint_->setWindowTitle("Reprint");
    lstTickets = new QListWidget(reprint_);
    lstTickets->setAccessibleName("Tickets");
    lstTickets->setSelectionMode(QAbstractItemView::ExtendedSelection);
    for (const TicketRecord& ticket : ticketsOf(run->id)) {
        auto* item = new QListWidgetItem(QString("Operation %1, copy %2, %3")
                                             .arg(text(ticket.operation))
                                             .arg(ticket.copy)
                                             .arg(stateOf(ticket, *run)),
                                         lstTickets);
        item->setData(Qt::UserRole, ticket.position);
        item->setSelected(preselected == ticket.position);
    }
    auto* copiesLabel = new QLabel("Copies", reprint_);
    spnCopies = new QSpinBox(reprint_);
    spnCopies->setAccessibleName("Copies");
    spnCopies->setRange(1, 999);
    spnCopies->setValue(1);
    copiesLabel->setBuddy(spnCopies);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, reprint_);
    buttons->button(QDialogButtonBox::Ok)->setText("Print");
    buttons->button(QDialogButtonBox::Ok)->setAccessibleName("Print");
    auto* copies = new QHBoxLayout;
    copies->addWidget(copiesLabel);
    copies->addWidget(spnCopies);
    copies->addStretch();
    auto* layout = new QVBoxLayout(reprint_);
    layout->addWidget(lstTickets);
    layout->addLayout(copies);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, reprint_, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, reprint_, &QDialog::reject);
    connect(reprint_, &QDialog::accepted, this, [this, id = run->id] { reprintChosen(id); });
    reprint_->open();
}

// For the run the list was opened for, whatever is selected by now.
void PrintHistoryWindow::reprintChosen(std::int64_t run)
{
    if (!lstTickets)
        return;
    std::vector<int> positions;
    for (int row = 0; row < lstTickets->count(); ++row)
        if (lstTickets->item(row)->isSelected())
            positions.push_back(lstTickets->item(row)->data(Qt::UserRole).toInt());
    if (!positions.empty())
        print_(run, positions, spnCopies->value(), reprintSource(run));
}
