// The journal file itself: a run of another process that was killed, a run
// cancelled while its batches waited for the journal, and pruning. The
// journal of a print from the window is tested with the commands.

#include "commands/journal_recorder.h"
#include "journal/journal.h"
#include "printing/print_stream.h"

#include "tests/fixtures/data_source.h"
#include "tests/fixtures/fifo_reader.h"

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::int64_t startEndedRun(Journal& journal, int tickets)
{
    const std::int64_t run = journal.startRun(RunStart{}, {{"10", tickets, "data"}});
    journal.sending(run, 0, 1, std::vector<TicketDigest>(static_cast<std::size_t>(tickets), {"10", 1, 9, "#"}));
    journal.endRun(run, RunOutcome::Printed, tickets, {});
    return run;
}

TEST(Journal, PruneRemovesEndedRunsOlderThanTheLimitWithTheirTicketsOnly)
{
    ScratchDir dir;
    Journal journal(QString::fromStdString(dir.file("journal.sqlite")));
    std::vector<std::int64_t> old;
    for (int i = 0; i < 120; ++i)  // more than one chunk
        old.push_back(startEndedRun(journal, 3));
    const std::int64_t recent = startEndedRun(journal, 3);
    const std::int64_t oldButOpen = journal.startRun(RunStart{}, {{"10", 1, "data"}});
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "backdate");
        db.setDatabaseName(QString::fromStdString(dir.file("journal.sqlite")));
        ASSERT_TRUE(db.open());
        const qint64 dayMs = 24LL * 3600 * 1000;
        QSqlQuery query(db);
        ASSERT_TRUE(query.exec(QString("UPDATE runs SET started = started - %1 * %2 WHERE id <> %3")
                                   .arg(181).arg(dayMs).arg(recent)));
        ASSERT_TRUE(query.exec(QString("UPDATE runs SET started = started - %1 WHERE id = %2")
                                   .arg(179 * dayMs).arg(recent)));
    }
    QSqlDatabase::removeDatabase("backdate");

    EXPECT_EQ(journal.prune(180, 5s), 120);
    std::vector<std::int64_t> left;
    for (const RunRecord& run : journal.runs())
        left.push_back(run.id);
    EXPECT_EQ(left, (std::vector<std::int64_t>{oldButOpen, recent}));
    EXPECT_TRUE(journal.tickets(old.back()).empty());
    EXPECT_EQ(journal.tickets(recent).size(), 3u);
}

// The child prints 1,000-byte tickets to a FIFO that is read at 2 KB per
// 20 ms; it is killed once 30 tickets have been read.
TEST(Journal, AKilledRunIsInterruptedWithItsTicketInDoubtButALiveOneIsLeftAlone)
{
    ScratchDir dir;
    const std::string fifo = dir.file("printer.fifo");
    const QString path = QString::fromStdString(dir.file("journal.sqlite"));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    FifoReader printer(fifo, 2000);
    QProcess child;
    child.start(JOURNAL_PRINT_CHILD, {path, QString::fromStdString(fifo), "500"});
    ASSERT_TRUE(child.waitForStarted());
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (printer.bytesRead() < 30'000 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);

    {
        Journal journal(path);
        EXPECT_EQ(journal.closeInterruptedRuns(), 0) << "the child still runs";
        ASSERT_EQ(journal.runs().size(), 1u);
        EXPECT_TRUE(journal.runs().front().outcome.empty());
    }
    child.kill();  // SIGKILL
    ASSERT_TRUE(child.waitForFinished());
    const std::string received = printer.finish();

    Journal journal(path);
    EXPECT_EQ(journal.closeInterruptedRuns(), 1);
    const RunRecord run = journal.runs().front();
    EXPECT_EQ(run.outcome, "interrupted");
    EXPECT_EQ(run.planned, 500);
    EXPECT_GE(run.inDoubt, 1);
    EXPECT_GT(run.confirmed, 0) << "batches written before the kill were confirmed";
    const int whole = static_cast<int>(received.size() / 1000);
    EXPECT_LE(run.confirmed, whole) << "a confirmed ticket reached the printer";
    EXPECT_GE(run.confirmed + run.inDoubt, whole) << "every ticket that reached it was recorded";
    int planned = 0;
    for (const TicketRecord& ticket : journal.tickets(run.id))
        planned += ticket.state == TicketState::Planned ? 1 : 0;
    EXPECT_EQ(planned, 500 - run.confirmed - run.inDoubt);

    // What someone reading the file by hand sees.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "by-hand");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery query(db);
        ASSERT_TRUE(query.exec("SELECT count(*) FROM ticket_states WHERE state = 'in doubt'") && query.next())
            << query.lastError().text().toStdString();
        EXPECT_EQ(query.value(0).toInt(), run.inDoubt);
    }
    QSqlDatabase::removeDatabase("by-hand");
}

// Prints 1,000-byte tickets to printerFile, recorded through journal; the
// operator cancels after cancelAfter tickets when it is given.
void printRecorded(const std::shared_ptr<JournalAccess>& journal, const std::string& printerFile, int tickets,
                   MessageList& messages, std::optional<int> cancelAfter = {})
{
    RunRecorder recorder(journal, messages);
    recorder.start(RunStart{}, {{"10", tickets, "data"}});
    auto progress = std::make_shared<PrintProgress>();
    PrintStream output(PrinterSettings{printerFile, PrinterKind::Zebra, {}}, progress);
    output.setObserver(&recorder);
    ASSERT_TRUE(output.open(messages));
    output.begin(tickets, TicketUnit::Tickets);
    const std::string ticket = "^XA" + std::string(994, 'x') + "^XZ";
    for (int i = 0; i < tickets; ++i) {
        if (i == cancelAfter)
            progress->cancel();
        if (!output.send(ticket, messages))
            return;
    }
    output.finish(messages);
}

// Tickets are built far faster than the journal records them, so batches
// wait for it when the run is cancelled; the journal keeps exactly the
// tickets that the printer got.
TEST(Journal, ACancelledRunKeepsOnlyTheTicketsThatWereWritten)
{
    ScratchDir dir;
    const std::string printerFile = dir.file("printer.out");
    const QString path = QString::fromStdString(dir.file("journal.sqlite"));
    MessageList messages;
    printRecorded(std::make_shared<JournalAccess>(path), printerFile, 3000, messages, 1500);
    ASSERT_EQ(messages.shown.size(), 1u);
    const auto received = static_cast<int>(std::filesystem::file_size(printerFile) / 1000);
    EXPECT_EQ(messages.shown.front().text,
              "Printing cancelled: " + std::to_string(received) + " of 3000 tickets were sent.");

    Journal journal(path);
    const RunRecord run = journal.runs().front();
    EXPECT_EQ(run.outcome, "cancelled");
    EXPECT_EQ(run.confirmed, received);
    EXPECT_EQ(run.inDoubt, 0);
    int recorded = 0;
    for (const TicketRecord& ticket : journal.tickets(run.id))
        recorded += ticket.state == TicketState::Planned ? 0 : 1;
    EXPECT_EQ(recorded, received) << "a ticket recorded as sent that never left would count as in doubt";
}

// The journal's folder went away after start-up: the run's own connection
// cannot be opened.
TEST(Journal, AJournalThatFailsDuringARunIsToldOnceAndEveryTicketIsPrinted)
{
    ScratchDir dir;
    dir.write("not-a-folder", "");
    const auto journal = std::make_shared<JournalAccess>(QString::fromStdString(dir.file("not-a-folder/j.sqlite")));
    const std::string printerFile = dir.file("printer.out");
    MessageList messages;
    printRecorded(journal, printerFile, 500, messages);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_NE(messages.shown.front().text.find("without a journal"), std::string::npos);
    EXPECT_EQ(std::filesystem::file_size(printerFile), 500'000u);
    EXPECT_TRUE(journal->off());
}

}  // namespace
