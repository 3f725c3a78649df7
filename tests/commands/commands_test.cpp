// Commands run off the window's thread: the window stays live while one is
// blocked, a second press is ignored, and whatever a command throws ends in
// one message.

#include "commands/job_runner.h"
#include "journal/journal.h"
#include "tests/fixtures/blocking_command.h"
#include "tests/fixtures/event_loop_probe.h"
#include "tests/fixtures/fifo_reader.h"
#include "tests/fixtures/main_window_fixture.h"
#include "tests/fixtures/whole_pages.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

using OffTheWindowThread = MainWindowTest;

TEST_F(OffTheWindowThread, ABlockedCommandLeavesTheWindowLiveAndIgnoresOtherPresses)
{
    start();
    const int queriesBefore = db().statementsRun();
    BlockingCommand blocked(window->commands(), {{"done", MessageIcon::None}});
    ASSERT_TRUE(blocked.started);

    window->txtOrder->setText("12345");
    window->cmdLocate->click();
    window->cmdSetupPrt->click();
    EXPECT_LT(longestTickGap(300ms), 100ms);
    EXPECT_FALSE(blocked.applied());

    blocked.release();
    waitForCommand();
    EXPECT_EQ(blocked.applied(), std::vector<Message>({{"done", MessageIcon::None}}));
    EXPECT_EQ(db().statementsRun(), queriesBefore) << "Locate was ignored";
    EXPECT_FALSE(printerFileExists()) << "Setup Printer was ignored";
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(OffTheWindowThread, AFifoWithoutAReaderGivesTheMessageAndTheWindowStaysLive)
{
    start();
    printer().limits.openTimeout = 500ms;
    ASSERT_EQ(mkfifo(printerFile().c_str(), 0600), 0);
    window->cmdSetupPrt->click();
    EXPECT_LT(longestTickGap(10s, [this] { return !window->commandRunning(); }), 100ms);
    waitForCommand();
    EXPECT_THAT(messages.texts(), ElementsAre("The printer " + printerFile() +
                                              " is not available.\nNo program read from it within 500 milliseconds."));
}

TEST_F(OffTheWindowThread, APrinterThatDrainsSlowlyLeavesTheWindowLive)
{
    start("EPSON");
    locate("12345");
    ASSERT_EQ(mkfifo(printerFile().c_str(), 0600), 0);
    FifoReader slowPrinter(printerFile(), 4096);  // 200 KB/s
    window->cmbOper->setCurrentText("All");
    window->txtQty->setText("5");
    window->cmdPrint->click();
    EXPECT_LT(longestTickGap(60s, [this] { return !window->commandRunning(); }), 100ms);
    waitForCommand();
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_GT(slowPrinter.finish().size(), 100'000u);
}

TEST_F(OffTheWindowThread, APrintRunWaitingForItsPrinterIsNoDatabaseStall)
{
    start();
    window->commands().setDatabaseTimeout(300ms);
    locate("12345");
    ASSERT_EQ(mkfifo(printerFile().c_str(), 0600), 0);
    window->cmbOper->setCurrentText("All");
    window->txtQty->setText("1");
    window->cmdPrint->click();  // opening a FIFO waits for its reader
    longestTickGap(1000ms);
    EXPECT_TRUE(window->commandRunning());

    const int reader = open(printerFile().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    waitForCommand();
    char received[16] = {};
    EXPECT_GT(read(reader, received, sizeof received), 0);
    close(reader);
    EXPECT_TRUE(messages.shown.empty()) << messages.shown.front().text;
}

TEST_F(OffTheWindowThread, AnUnexpectedExceptionEndsInOneMessageAndTheWindowStaysUsable)
{
    start();
    window->commands().run<SetupPrinterResult>(
        [](DatabaseSession&) -> SetupPrinterResult { throw std::logic_error("bad row index"); },
        [this](const SetupPrinterResult& result) { messages.showAll(result.messages); });
    waitForCommand();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::Critical);
    EXPECT_THAT(messages.shown[0].text, ::testing::EndsWith("\nbad row index"));

    messages.shown.clear();
    locate("12345");
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(window->cmdPrint->isEnabled());
}

// The printer gets whole pages only, as many as the count says, and the
// window stays when the operator says No.
TEST_F(OffTheWindowThread, ClosingDuringAPrintRunAsksAndStopsAfterTheCurrentPage)
{
    const std::string wholeRun = wholeEpsonRunThenFifo();
    window->show();
    FifoReader slowPrinter(printerFile(), 4096);
    window->cmdPrint->click();
    longestTickGap(500ms);
    const std::string question = "A print run is in progress. Stop after the current ticket and close?";
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(window->commandRunning());
    messages.reply = true;
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->commandRunning());

    const std::string received = slowPrinter.finish();
    ASSERT_EQ(messages.shown.size(), 3u);
    EXPECT_EQ(messages.shown[1], (RecordedMessage{question, MessageIcon::Warning}));
    expectWholePagesAsCounted(received, wholeRun, messages.shown[2].text);
    const RunRecord run = Journal(QString::fromStdString(journalFile())).runs(1).at(0);
    EXPECT_EQ(messages.shown[2].text, "Printing cancelled: " + std::to_string(run.confirmed) + " of 800 pages were sent.");
    EXPECT_EQ(run.outcome, "cancelled");
}

TEST_F(OffTheWindowThread, ClosingTheWindowGivesUpACommandThatStaysBlocked)
{
    start();
    window->show();
    const int unfinishedBefore = JobRunner::unfinishedJobs();
    BlockingCommand blocked(window->commands());
    ASSERT_TRUE(blocked.started);
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->commandRunning());
    EXPECT_EQ(JobRunner::unfinishedJobs(), unfinishedBefore + 1) << "the blocked call is left to itself";

    blocked.release();
    const QDeadlineTimer deadline(10'000);
    while (JobRunner::unfinishedJobs() > unfinishedBefore && !deadline.hasExpired())
        std::this_thread::sleep_for(10ms);
    QCoreApplication::processEvents();  // a result wrongly handed on would arrive now
    EXPECT_EQ(JobRunner::unfinishedJobs(), unfinishedBefore) << "the released call ends";
    EXPECT_FALSE(blocked.applied());
}

}  // namespace
