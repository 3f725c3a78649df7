// Print History: a run that stopped part-way is finished with exactly the
// tickets that are missing; a card is reprinted from the record; a ticket's
// barcodes lead to it; this station's runs show, or every station's.

#include "commands/nested_print_run.h"
#include "journal/station_name.h"
#include "tests/fixtures/fifo_reader.h"
#include "tests/fixtures/journal_by_hand.h"
#include "tests/fixtures/main_window_fixture.h"
#include "tests/fixtures/whole_pages.h"

#include <QCheckBox>
#include <QListWidget>
#include <QSpinBox>
#include <QTableWidget>


#include <regex>

namespace {

using namespace std::chrono_literals;

using PrintHistory = MainWindowTest;

// The Zebra jobs of a run, each from its ^XA^PRC to the next.
std::vector<std::string> zebraJobs(const std::string& run)
{
    const std::string start = "^XA\r\n^PRC";
    std::vector<std::string> jobs;
    for (auto at = run.find(start); at != std::string::npos;) {
        const auto next = run.find(start, at + 1);
        jobs.push_back(run.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next;
    }
    return jobs;
}

PrintHistoryWindow& openHistory(frmMain& window)
{
    window.cmdHistory->click();
    return *window.historyWindow();
}

TEST_F(PrintHistory, PrintTheRestPrintsExactlyThePagesACancelledRunDidNotSend)
{
    const std::string wholeRun = wholeEpsonRunThenFifo();
    {
        FifoReader slowPrinter(printerFile(), 4096);
        window->cmdPrint->click();
        const QDeadlineTimer begun(10'000);
        while (!window->printProgress() && !begun.hasExpired())  // once the journal was read
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        ASSERT_NE(window->printProgress(), nullptr);
        std::this_thread::sleep_for(300ms);
        window->printProgress()->cancelRun();
        waitForCommand();
        ASSERT_EQ(messages.shown.size(), 1u);
        expectWholePagesAsCounted(slowPrinter.finish(), wholeRun, messages.shown[0].text);
    }
    std::smatch count;
    ASSERT_TRUE(std::regex_search(messages.shown[0].text, count, std::regex("(\\d+) of 800")));
    const int sent = std::stoi(count[1]);
    messages.shown.clear();

    printer().name = dir.file("rest.out");
    PrintHistoryWindow& history = openHistory(*window);
    ASSERT_EQ(history.grdRuns->rowCount(), 2);
    EXPECT_EQ(history.grdRuns->item(0, 7)->text(), QString("%1 of 800").arg(sent));
    EXPECT_EQ(history.grdRuns->item(0, 8)->text(), "cancelled");
    const std::int64_t cancelled = history.selectedRun()->id;
    messages.reply = true;
    press(history.cmdPrintRest);

    ASSERT_GE(messages.shown.size(), 1u);
    EXPECT_EQ(messages.texts().front(), std::to_string(800 - sent) + " tickets of run " + std::to_string(cancelled) +
                                            " will be printed.\nPrint them?");
    const std::string first = "MOVE & IDENT CARD";
    std::size_t restStart = wholeRun.find(first);
    for (int page = 0; page < sent; ++page)
        restStart = wholeRun.find(first, restStart + 1);
    EXPECT_EQ(dir.read("rest.out"), wholeRun.substr(restStart - wholeRun.find(first)));
    EXPECT_EQ(history.grdRuns->item(0, 8)->text(), "printed") << "the history shows the new run";
    EXPECT_EQ(history.selectedRun()->source, "Print the Rest of run " + std::to_string(cancelled));

    history.grdRuns->selectRow(1);
    messages.shown.clear();
    history.cmdPrintRest->click();
    EXPECT_THAT(messages.texts(), ::testing::ElementsAre(::testing::StartsWith(
                                      "Run " + std::to_string(cancelled) + " was finished by run ")))
        << "a second Print the Rest would print the rest twice";
}

// A scanned order barcode and then an operation barcode open Reprint at
// that operation's newest ticket; two cards of it are one job of two labels.
TEST_F(PrintHistory, ScannedBarcodesLeadToATicketThatReprintsAsManyCardsAsAsked)
{
    start();
    locate("12345");
    print("All", "3");
    const std::vector<std::string> jobs = zebraJobs(printed());
    ASSERT_EQ(jobs.size(), 4u);
    PrintHistoryWindow& history = openHistory(*window);
    history.txtFind->setText("012345-000");
    emit history.txtFind->returnPressed();
    history.txtFind->setText("0020");
    emit history.txtFind->returnPressed();
    ASSERT_NE(history.reprintDialog(), nullptr);
    const QList<QListWidgetItem*> chosen = history.lstTickets->selectedItems();
    ASSERT_EQ(chosen.size(), 1);
    EXPECT_EQ(chosen[0]->text(), "Operation 20, copy 1, confirmed");

    history.spnCopies->setValue(2);
    history.reprintDialog()->accept();
    waitForCommand();
    EXPECT_TRUE(messages.shown.empty()) << messages.shown.front().text;
    std::string twoCards = jobs[1];
    twoCards.replace(twoCards.find("^PQ3,"), 5, "^PQ2,");
    EXPECT_EQ(printed(), twoCards);
    EXPECT_EQ(history.grdRuns->item(0, 7)->text(), "1 of 1");
}

// A run whose printer proved what it printed shows it beside what it
// took, and Print the Rest's question says which of the rest printed.
TEST_F(PrintHistory, ShowsTheTicketsThePrinterProvedPrinted)
{
    start();
    std::int64_t partly = 0;
    {
        Journal journal(QString::fromStdString(journalFile()));
        const auto run = [&journal](int tickets, RunOutcome outcome, TicketCounts counts) {
            const std::int64_t id = journal.startRun(RunStart{}, {{"10", tickets, "data"}});
            journal.sending(id, 0, 1,
                            std::vector<TicketDigest>(static_cast<std::size_t>(tickets), {"10", 1, 9, "#"}));
            journal.endRun(id, outcome, counts, {});
            return id;
        };
        partly = run(4, RunOutcome::Failed, {2, 1});
        run(2, RunOutcome::Printed, {2, 2});
    }
    PrintHistoryWindow& history = openHistory(*window);
    ASSERT_EQ(history.grdRuns->rowCount(), 2);
    EXPECT_EQ(history.grdRuns->item(0, 7)->text(), "2 of 2 (printed)");
    EXPECT_EQ(history.grdRuns->item(1, 7)->text(), "2 of 4 (1 printed)");

    history.grdRuns->selectRow(1);
    messages.reply = false;
    press(history.cmdPrintRest);
    EXPECT_THAT(messages.texts(),
                ::testing::ElementsAre("2 tickets of run " + std::to_string(partly) +
                                       " will be printed.\n4 tickets reached the printer, 1 of them printed; 2 may "
                                       "have printed.\nPrint them?"));
    EXPECT_FALSE(printerFileExists());
}

// A printer that cannot be opened ends a run before its first ticket: the
// history shows it failed, 0 of M, with its message. A card of the nested
// window is planned whole, and Print the Rest prints it once the printer
// works; a move ticket's rows were not read, and Print the Rest says so.
TEST_F(PrintHistory, ARunWhosePrinterCouldNotBeOpenedShowsAsFailedAndItsRestPrintsWhatWasKept)
{
    start();
    locate("12345");
    const std::string working = printer().name;
    const auto printNested = [&] {
        NestedPrintRequest request = nestedPrintRequest({"12345", "0", "ST", "20", "2"}, window->rsHDR, printer(),
                                                        {"NP-7", "25", "ACME", "WELD", "keep dry"});
        request.journal = std::make_shared<JournalAccess>(QString::fromStdString(journalFile()));
        messages.showAll(printNestedTickets(db(), request).messages);
    };
    printer().name = dir.file("no-such-folder/lp");
    print("All", "1");
    printNested();
    ASSERT_EQ(messages.shown.size(), 2u);
    const std::vector<std::string> failures = messages.texts();
    messages.shown.clear();
    printer().name = working;

    PrintHistoryWindow& history = openHistory(*window);
    ASSERT_EQ(history.grdRuns->rowCount(), 2);
    struct Row {
        int row;
        const char* sent;
        std::string message;
    };
    for (const Row& run : {Row{0, "0 of 1", failures[1]}, Row{1, "0 of 4", failures[0]}}) {
        EXPECT_EQ(history.grdRuns->item(run.row, 7)->text(), run.sent);
        EXPECT_EQ(history.grdRuns->item(run.row, 8)->text(), "failed");
        EXPECT_EQ(history.grdRuns->item(run.row, 8)->toolTip().toStdString(), run.message);
    }

    history.grdRuns->selectRow(1);
    messages.reply = true;
    press(history.cmdPrintRest);
    EXPECT_THAT(messages.texts(), ::testing::ElementsAre(notBuiltMessage(history.selectedRun()->id)));
    EXPECT_FALSE(printerFileExists());

    history.grdRuns->selectRow(0);
    messages.shown.clear();
    press(history.cmdPrintRest);
    ASSERT_EQ(messages.texts().size(), 1u) << "the question only";
    const std::string rest = printed();
    printNested();
    EXPECT_EQ(rest, printed());
}

// A journal the plant's stations share: this station's runs, until All
// stations is checked; then every station's, each with its station.
TEST_F(PrintHistory, ShowsThisStationsRunsOrWithAllStationsEachRunsStation)
{
    start();
    {
        Journal journal(QString::fromStdString(journalFile()));
        for (const char* order : {"7001", "7002", "7003"}) {
            RunStart run;
            run.order = order;
            journal.endRun(journal.startRun(run, {{"10", 1, "data"}}), RunOutcome::Printed, 1, {});
        }
    }
    journalByHand(journalFile(), {"UPDATE runs SET station = 'line 3' WHERE shop_order = '7002'"});
    PrintHistoryWindow& history = openHistory(*window);
    // Each row's cells under the headers named, joined by a space.
    const auto shown = [&history](const QStringList& headers) {
        QStringList rows;
        for (int row = 0; row < history.grdRuns->rowCount(); ++row) {
            QStringList cells;
            for (const QString& header : headers)
                for (int column = 0; column < history.grdRuns->columnCount(); ++column)
                    if (history.grdRuns->horizontalHeaderItem(column)->text() == header)
                        cells << history.grdRuns->item(row, column)->text();
            rows << cells.join(' ');
        }
        return rows;
    };
    const QString here = stationName();
    EXPECT_EQ(shown({"Station", "Order"}), (QStringList{"7003", "7001"})) << "no Station column";

    history.chkAllStations->setChecked(true);
    EXPECT_EQ(shown({"Station", "Order"}), (QStringList{here + " 7003", "line 3 7002", here + " 7001"}));
    EXPECT_EQ(history.grdRuns->item(1, 8)->text(), "1 of 1") << "the Station column second, after Time";

    history.chkAllStations->setChecked(false);
    EXPECT_EQ(shown({"Station", "Order"}), (QStringList{"7003", "7001"}));
}

}  // namespace
