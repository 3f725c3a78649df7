#include "ui/frmMain.h"

#include "tests/fixtures/journal_by_hand.h"
#include "tests/fixtures/main_window_fixture.h"

#include <QApplication>
#include <QDateTime>
#include <QKeyEvent>
#include <QLabel>

namespace {

using MainWindow = MainWindowTest;

TEST_F(MainWindow, ShowsItsDesignTimeContentsAfterStartUp)
{
    start();
    EXPECT_EQ(window->windowTitle(), "Create Move Tickets");
    EXPECT_EQ(window->Label1->text(), "Corvanta");
    EXPECT_EQ(window->cmbLocation->currentText(), "ST");
    EXPECT_EQ(entries(*window->cmbLocation), QStringList({"HM", "ST"}));
    EXPECT_EQ(window->cmbOper->currentText(), "All");
    EXPECT_EQ(entries(*window->cmbOper), QStringList({"01", "02", "03", "04"}));
    EXPECT_TRUE(window->txtOrder->text().isEmpty());
    EXPECT_TRUE(window->txtQty->text().isEmpty());
    EXPECT_TRUE(window->cmbLocation->isEditable());
    EXPECT_TRUE(window->cmbOper->isEditable());
    EXPECT_TRUE(window->cmdLocate->isEnabled());
    EXPECT_TRUE(window->cmdSetupPrt->isEnabled());
    EXPECT_FALSE(window->cmdPrint->isEnabled());
    EXPECT_FALSE(window->cmdNestedParts->isEnabled());
    EXPECT_FALSE(window->txtMaterial->isEnabled());
    EXPECT_EQ(window->txtMaterial->palette().color(QPalette::Disabled, QPalette::Base),
              QColor(0xC0, 0xC0, 0xC0));
}

TEST_F(MainWindow, EveryCaptionNamesItsBox)
{
    start();
    const std::pair<QLabel*, QWidget*> captions[] = {
        {window->Label2[0], window->cmbLocation}, {window->Label2[1], window->txtOrder},
        {window->Label2[2], window->txtSuffix},   {window->Label2[3], window->cmbOper},
        {window->Label4, window->txtQty},         {window->Label3, window->txtMaterial}};
    for (const auto& [label, box] : captions)
        EXPECT_EQ(label->buddy(), box) << label->text().toStdString();
    EXPECT_EQ(window->Label2[3]->text(), "Operations:");
    EXPECT_EQ(window->Label4->text(), "Qty to Print:");
}

TEST_F(MainWindow, PlacesControlsFromTwips)
{
    start();
    const double pixelsPerTwip = window->logicalDpiX() / 1440.0;
    const auto px = [&](int twips) { return qRound(twips * pixelsPerTwip); };
    // Left and top count within the window; its own row is its client area.
    const std::tuple<QWidget*, int, int, int, int> placed[] = {
        {window.get(), 0, 0, 4680, 4380}, {window->cmdPrint, 1920, 3600, 975, 495},
        {window->cmdHistory, 360, 3600, 975, 495}};
    for (const auto& [control, left, top, width, height] : placed)
        EXPECT_EQ(QRect(control->mapTo(window.get(), QPoint()), control->size()),
                  QRect(px(left), px(top), px(width), px(height))) << control->metaObject()->className();
    EXPECT_DOUBLE_EQ(window->txtOrder->font().pointSizeF(), 8.25);
    EXPECT_DOUBLE_EQ(window->Label1->font().pointSizeF(), 13.5);
}

// The widget that has the keyboard focus, counting an editable combo box's
// own line edit as the combo box.
QWidget* focusedControl()
{
    QWidget* widget = QApplication::focusWidget();
    if (widget && qobject_cast<QComboBox*>(widget->parentWidget()))
        return widget->parentWidget();
    return widget;
}

TEST_F(MainWindow, TabMovesThroughTheControlsInTheirOrder)
{
    start();
    window->cmdPrint->setEnabled(true);
    window->cmdNestedParts->setEnabled(true);
    window->show();
    QApplication::setActiveWindow(window.get());
    window->cmbLocation->setFocus();
    QApplication::processEvents();
    QWidget* const expected[] = {window->cmbLocation, window->txtOrder,    window->txtSuffix,
                                 window->cmdLocate,   window->txtQty,      window->cmdPrint,
                                 window->cmbOper,     window->cmdSetupPrt, window->cmdNestedParts,
                                 window->cmdHistory,  window->cmbLocation};
    for (QWidget* control : expected) {
        EXPECT_EQ(focusedControl(), control);
        QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
        QApplication::sendEvent(QApplication::focusWidget(), &tab);
        QApplication::processEvents();
    }
}

TEST_F(MainWindow, FocusStartsInTheLocationBox)
{
    start();
    window->show();
    QApplication::setActiveWindow(window.get());
    QApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), window->cmbLocation);
}

class SetupPrinter : public MainWindowTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SetupPrinter, SendsThePageLengthCommandWhateverThePrinterType)
{
    start(GetParam());
    dir.write("printer.out", "left over from an earlier job");
    press(window->cmdSetupPrt);
    EXPECT_EQ(printed(), std::string("\x1B\x43\x27\x0D\x0A", 5));
    EXPECT_TRUE(messages.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(Types, SetupPrinter, ::testing::Values("ZEBRA", "EPSON"));

TEST_F(MainWindow, SetupPrinterReportsADeviceThatCannotBeOpened)
{
    start();
    printer().name = dir.file("no such folder/lp 0 ");
    press(window->cmdSetupPrt);
    EXPECT_THAT(messages.shown,
                ::testing::ElementsAre(RecordedMessage{
                    "The printer " + printer().name + " is not available.\nNo such file or directory.",
                    MessageIcon::None}));
}

TEST_F(MainWindow, SetupPrinterReportsAFailedWrite)
{
    start();
    printer().name = "/dev/full";
    press(window->cmdSetupPrt);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "The printer /dev/full is not available.\nNo space left on device.");
}

TEST_F(MainWindow, EnterAfterAScannedOrderBarcodeFillsOrderAndSuffixAndLocates)
{
    start();
    window->txtSuffix->setText("7");
    window->txtOrder->setText("012345-000");
    emit window->txtOrder->returnPressed();
    waitForCommand();
    EXPECT_EQ(window->txtOrder->text(), "12345");
    EXPECT_EQ(window->txtSuffix->text(), "0");
    EXPECT_TRUE(window->cmdPrint->isEnabled()) << "located";
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(MainWindow, ClosingEndsTheConnection)
{
    start();
    window->show();
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(db().isOpen());
}

// A journal the plant's stations share: Print asks first when another
// station's printer took tickets of the same order within the hour, naming
// the newest such run; No prints and records nothing, Yes prints.
TEST_F(MainWindow, PrintAsksFirstWhenAnotherStationPrintedTheOrderWithinTheHour)
{
    start();
    locate("12345");
    const auto runs = [this] { return Journal(QString::fromStdString(journalFile())).runs(); };
    const auto question = [](const RunRecord& run) {
        return "Order 12345 was printed at " + ("station " + run.station) + " at " +
               QDateTime::fromMSecsSinceEpoch(run.started).toString("HH:mm").toStdString() + " (run " +
               std::to_string(run.id) + "). Print it again?";
    };
    const QString newest = " WHERE id = (SELECT max(id) FROM runs)";
    struct Case {
        const char* what;
        QString change;  // to the run printed just before, by hand
        bool asked;
    };
    const Case cases[] = {
        {"this station's own run", "station = station", false},
        {"another station's, of another suffix", "station = '3', suffix = '1'", false},
        {"another station's, an hour and a second ago", "station = '3', started = started - 3601000", false},
        {"another station's, the printer took none", "station = '3', confirmed = 0", false},
        {"another station's, one ticket in doubt", "station = '3', confirmed = 0, in_doubt = 1", true},
        {"another station's", "station = '3'", true},
    };
    for (const Case& earlier : cases) {
        SCOPED_TRACE(earlier.what);
        journalByHand(journalFile(), {"UPDATE runs SET shop_order = 'earlier'"});
        print("All", "1");
        journalByHand(journalFile(), {"UPDATE runs SET " + earlier.change + newest});
        std::filesystem::remove(printerFile());
        messages.shown.clear();
        messages.reply = false;
        const std::size_t recorded = runs().size();
        print("All", "1");
        if (!earlier.asked) {
            EXPECT_TRUE(messages.shown.empty()) << messages.shown.front().text;
            EXPECT_TRUE(printerFileExists());
            continue;
        }
        EXPECT_THAT(messages.shown,
                    ::testing::ElementsAre(RecordedMessage{question(runs().front()), MessageIcon::Warning}));
        EXPECT_FALSE(printerFileExists()) << "No prints nothing";
        EXPECT_EQ(runs().size(), recorded) << "and records nothing";

        messages.reply = true;
        print("All", "1");
        EXPECT_EQ(messages.shown.size(), 2u);
        EXPECT_TRUE(printerFileExists());
        EXPECT_EQ(runs().size(), recorded + 1);
    }
    journalByHand(journalFile(), {"UPDATE runs SET station = '7'" + newest});
    messages.shown.clear();
    messages.reply = false;
    print("All", "1");
    EXPECT_THAT(messages.texts(), ::testing::ElementsAre(question(runs().front()))) << "the newest is named";
}

}  // namespace
