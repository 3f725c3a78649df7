// The main window's close button while a run prints to a slow network printer.

#include "journal/journal.h"
#include "tests/fixtures/loopback_printer.h"
#include "tests/fixtures/main_window_fixture.h"
#include "tests/fixtures/whole_pages.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QProgressDialog>

namespace {

using ClosingDuringARun = MainWindowTest;

// The window system drops a close to a window that a modal dialog blocks:
// with the progress showing, nothing modal may stand before the main window.
// The operator is asked; No keeps the run, Yes stops it after a whole page.
TEST_F(ClosingDuringARun, TheCloseButtonAsksThenStopsAfterAWholePage)
{
    start("EPSON");
    locate("12345");
    print("All", "50");
    const std::string wholeRun = printed();
    LoopbackPrinter slow({.statusReply = {}, .bytesPerSecond = 8192});
    printer().name = slow.address();
    window->show();
    window->txtQty->setText("50");
    window->cmdPrint->click();
    const QDeadlineTimer shown(10'000);
    while (!(window->printProgress() && window->printProgress()->dialog()) && !shown.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    ASSERT_TRUE(window->printProgress() && window->printProgress()->dialog()) << "no progress within 10 s";
    EXPECT_TRUE(window->printProgress()->dialog()->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    QCloseEvent kept;
    QCoreApplication::sendEvent(window.get(), &kept);
    EXPECT_FALSE(kept.isAccepted());
    EXPECT_TRUE(window->commandRunning());

    messages.reply = true;
    QElapsedTimer closing;
    closing.start();
    EXPECT_TRUE(window->close());
    EXPECT_LT(closing.elapsed(), 10'000);
    EXPECT_FALSE(window->commandRunning());

    const std::string question = "A print run is in progress. Stop after the current ticket and close?";
    ASSERT_EQ(messages.shown.size(), 3u);
    EXPECT_EQ(messages.shown[0].text, question);
    EXPECT_EQ(messages.shown[1].text, question);
    expectWholePagesAsCounted(slow.received(), wholeRun, messages.shown[2].text);
    const RunRecord run = Journal(QString::fromStdString(journalFile())).runs(1).at(0);
    EXPECT_EQ(run.outcome, "cancelled");
}

}  // namespace
