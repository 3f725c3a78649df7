// The station and the printer lose power during a run recorded in the
// journal: the print program is killed, and the printer at once resets,
// keeping what its TCP had taken. Whenever that happens, the journal
// confirms no ticket the printer did not take, and marks every ticket it
// read whole as at least sent (in doubt), so that Print the Rest neither
// skips a lost ticket nor prints a taken one as if it never left.
//
// Were a ticket confirmed once this station's kernel had queued it, the
// confirmed tickets would run ahead of the printer by all that the send
// queue holds (64 KB with the cap, megabytes without): those die with the
// power though the journal says printed, and taken() shows it.

#include "journal/journal.h"
#include "printing/zebra_status.h"
#include "tests/fixtures/data_source.h"
#include "tests/fixtures/loopback_printer.h"

#include <QProcess>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(PowerCut, TheJournalConfirmsOnlyTicketsThePrinterTookAndMarksEveryOneItRead)
{
    // journal_print_child's Zebra tickets: 1,000 bytes each, 500 of them
    // lasting about 1.3 s at 400 KB/s.
    constexpr std::size_t ticketBytes = 1000;
    constexpr int tickets = 500;
    const std::size_t status = hostStatusRequest.size();
    int cutPartWay = 0;
    for (int i = 1; i <= 50; ++i) {
        ScratchDir dir;
        const QString journalFile = QString::fromStdString(dir.file("journal.sqlite"));
        LoopbackPrinter printer(
            {.statusReply = LoopbackPrinter::hostStatus('0', '0', '0', '0'), .bytesPerSecond = 400'000});
        QProcess child;
        child.start(JOURNAL_PRINT_CHILD,
                    {journalFile, QString::fromStdString(printer.address()), QString::number(tickets)});
        ASSERT_TRUE(child.waitForStarted());
        std::this_thread::sleep_for(i * 25ms);
        child.kill();
        printer.cutPower();
        ASSERT_TRUE(child.waitForFinished(10'000));

        Journal journal(journalFile);
        journal.closeInterruptedRuns();
        const std::vector<RunRecord> runs = journal.runs(1);
        const int confirmed = runs.empty() ? 0 : runs[0].confirmed;
        const int inDoubt = runs.empty() ? 0 : runs[0].inDoubt;
        const std::string received = printer.received();
        const std::size_t readWhole = received.size() < status ? 0 : (received.size() - status) / ticketBytes;
        const std::string when = "power cut at " + std::to_string(i * 25) + " ms, " + std::to_string(confirmed) +
                                 " confirmed, " + std::to_string(inDoubt) + " in doubt";
        const std::size_t claimed = confirmed == 0 ? 0 : status + ticketBytes * static_cast<std::size_t>(confirmed);
        EXPECT_LE(claimed, printer.taken()) << when;
        EXPECT_LE(readWhole, static_cast<std::size_t>(confirmed + inDoubt)) << when;
        cutPartWay += readWhole > 0 && confirmed < tickets;
    }
    EXPECT_GE(cutPartWay, 25) << "most cuts fall while the printer reads";
}

}  // namespace
