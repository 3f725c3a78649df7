// Stopping a run to a network printer that prints 8 KB a second, as the
// operator closing the window and a script's SIGTERM stop it: the run ends
// within seconds, and the printer holds the run's first pages whole, as
// many as the message, --json and the journal count.

#include "journal/journal.h"
#include "tests/fixtures/loopback_printer.h"
#include "tests/fixtures/main_window_fixture.h"
#include "tests/fixtures/travcard_program.h"
#include "tests/fixtures/whole_pages.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <thread>

#include <csignal>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The README's promise for a printer taking 8 KB/s: the 64 KB it may hold
// unacknowledged take it 8 s.
constexpr auto stopBound = 10s;

class StopAtASlowPrinter : public MainWindowTest {
protected:
    // Order 12345, All, quantity 200 (800 pages), as the window prints it
    // to a file when nobody stops it.
    std::string wholeEpsonRun()
    {
        start("EPSON");
        locate("12345");
        print("All", "200");
        EXPECT_TRUE(messages.shown.empty());
        return printed();
    }

    // The printer holds the run's first pages whole, as many as countMessage
    // says and the journal's record of the run confirms, with none in doubt.
    static void expectWholePagesCounted(const std::string& received, const std::string& wholeRun,
                                        const std::string& countMessage, const RunRecord& run)
    {
        expectWholePagesAsCounted(received, wholeRun, countMessage);
        EXPECT_GT(run.confirmed, 0) << "stopped before the printer took a page";
        EXPECT_THAT(countMessage, ::testing::StartsWith("Printing cancelled: " + std::to_string(run.confirmed) +
                                                        " of 800 pages were sent."));
        EXPECT_EQ(run.inDoubt, 0);
        EXPECT_EQ(run.outcome, "cancelled");
    }

    // How long the run took to end since it was stopped, also kept in the
    // test's XML report (--gtest_output).
    static std::chrono::milliseconds endedAfter(Clock::time_point stopped)
    {
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopped);
        RecordProperty("stop_to_end_ms", static_cast<int>(took.count()));
        return took;
    }

    static void runEventsFor(std::chrono::milliseconds duration)
    {
        const QDeadlineTimer deadline(duration);
        while (!deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
};

TEST_F(StopAtASlowPrinter, ClosingTheWindowEndsTheRunSoonWithTheCountedPagesWhole)
{
    const std::string wholeRun = wholeEpsonRun();
    LoopbackPrinter slowPrinter({.statusReply = {}, .bytesPerSecond = 8192});
    printer().name = slowPrinter.address();
    window->show();
    window->cmdPrint->click();
    runEventsFor(2s);
    ASSERT_TRUE(window->commandRunning());

    messages.reply = true;
    const auto closing = Clock::now();
    EXPECT_TRUE(window->close());
    EXPECT_LT(endedAfter(closing), stopBound);
    EXPECT_FALSE(window->commandRunning());

    const std::string received = slowPrinter.received();
    ASSERT_EQ(messages.shown.size(), 2u) << "the question, then the count";
    expectWholePagesCounted(received, wholeRun, messages.shown[1].text,
                            Journal(QString::fromStdString(journalFile())).runs(1).at(0));
}

TEST_F(StopAtASlowPrinter, SigtermToPrintEndsTheRunSoonWithTheCountedPagesWhole)
{
    const std::string wholeRun = wholeEpsonRun();
    ScratchDir programDir;
    const std::string program = installProgram(programDir, "PRINTER=preview:\r\nPRTTYPE=ZEBRA\r\n");
    LoopbackPrinter slowPrinter({.statusReply = {}, .bytesPerSecond = 8192});
    QProcess printing;
    startWithoutDisplay(printing, program,
                        {"print", "--location", "ST", "--order", "12345", "--quantity", "200", "--type", "epson",
                         "--printer", QString::fromStdString(slowPrinter.address()), "--json"},
                        dir.path());
    std::this_thread::sleep_for(2s);
    ASSERT_EQ(printing.state(), QProcess::Running);

    const auto signalled = Clock::now();
    ::kill(static_cast<pid_t>(printing.processId()), SIGTERM);
    ASSERT_TRUE(printing.waitForFinished(60'000));
    EXPECT_LT(endedAfter(signalled), stopBound);
    EXPECT_EQ(printing.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(printing.exitCode(), 5);

    const std::string received = slowPrinter.received();
    const std::string countMessage = printing.readAllStandardError().toStdString();
    const QJsonObject answer = QJsonDocument::fromJson(printing.readAllStandardOutput()).object();
    const RunRecord run = Journal(QString::fromStdString(dir.file("travcard/journal.sqlite"))).runs(1).at(0);
    expectWholePagesCounted(received, wholeRun, countMessage, run);
    EXPECT_EQ(answer["sent"].toInt(-1), run.confirmed);
}

}  // namespace
