// A journal that stops taking writes in the middle of a run to a network
// printer: the run stops before the first batch it cannot mark, the
// printer holds exactly the tickets marked, the run's end is recorded once
// the journal takes writes again, and Print the Rest then prints exactly
// the tickets that never left.

#include "commands/reprint.h"
#include "exactly_once/journal_recorder.h"
#include "exactly_once/ticket_record.h"
#include "printing/print_stream.h"
#include "printing/zebra_status.h"
#include "tickets/zebra_job.h"

#include "tests/fixtures/data_source.h"
#include "tests/fixtures/loopback_printer.h"
#include "tests/fixtures/sample_ticket.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <sched.h>
#include <sys/mount.h>

namespace {

using namespace std::chrono_literals;

constexpr int ticketCount = 600;

std::vector<TicketData> tickets()
{
    std::vector<TicketData> all;
    for (int i = 1; i <= ticketCount; ++i) {
        TicketData ticket = sampleTicket();
        ticket.operNo = std::to_string(i * 10);
        all.push_back(ticket);
    }
    return all;
}

std::string jobsOf(const std::vector<TicketData>& all, int from, int to)
{
    std::string jobs;
    for (int i = from; i < to; ++i)
        jobs += zebraJob(all[static_cast<std::size_t>(i)]);
    return jobs;
}

// Prints every ticket, recorded in journal, to printer.
void printRecorded(const std::shared_ptr<JournalAccess>& journal, const std::string& printer,
                   const std::vector<TicketData>& all, MessageList& messages)
{
    RunRecorder recorder(journal, messages);
    RunStart start;
    start.shared = encodeSharedFields(all.front());
    std::vector<PlannedTicket> planned;
    for (const TicketData& ticket : all)
        planned.push_back({ticket.operNo, 1, encodeTicketFields(ticket)});
    recorder.start(start, planned);
    PrintStream output(PrinterSettings{printer, PrinterKind::Zebra, {}}, nullptr);
    output.setObserver(&recorder);
    if (!output.open(messages))
        return;
    output.begin(ticketCount, TicketUnit::Tickets);
    for (const TicketData& ticket : all)
        if (!output.send(zebraJob(ticket), messages))
            return;
    output.finish(messages);
}

// Runs a print to a printer taking 50 KB/s; once it has taken 100 KB,
// breakJournal() makes the journal refuse writes until the printer's
// connection has closed, when mendJournal() lets it take them again. Then
// checks what the printer, the messages, the journal and Print the Rest say.
void printThroughAFailingJournal(const std::string& journalFile, const std::function<void()>& breakJournal,
                                 const std::function<void()>& mendJournal, const std::string& reason)
{
    const std::vector<TicketData> all = tickets();
    const QString path = QString::fromStdString(journalFile);
    const auto access = std::make_shared<JournalAccess>(path);
    LoopbackPrinter printer({.statusReply = LoopbackPrinter::hostStatus('0', '0', '0', '0'), .bytesPerSecond = 50'000});
    MessageList messages;
    std::jthread run([&] { printRecorded(access, printer.address(), all, messages); });
    while (printer.taken() < 100'000)
        std::this_thread::sleep_for(10ms);
    breakJournal();
    const std::string received = withoutStatusRequests(printer.received(60s));
    mendJournal();
    run.join();

    int sent = 0;
    while (sent < ticketCount && jobsOf(all, 0, sent + 1).size() <= received.size())
        ++sent;
    EXPECT_EQ(received, jobsOf(all, 0, sent)) << "the printer holds part of a ticket";
    EXPECT_LT(sent, ticketCount);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_THAT(messages.shown.front().text,
                ::testing::AllOf(::testing::StartsWith("The print journal " + journalFile + " cannot be written: "),
                                 ::testing::HasSubstr(reason),
                                 ::testing::EndsWith(std::to_string(sent) + " of 600 tickets were sent.")));

    Journal journal(path);
    const RunRecord record = journal.runs().front();
    EXPECT_EQ(record.outcome, "failed") << "the run's end is recorded once the journal takes writes again";
    EXPECT_EQ(record.confirmed, sent);
    EXPECT_EQ(record.inDoubt, 0);
    ScratchDir out;
    const std::vector<int> rest = unconfirmedTickets(journal.tickets(record.id));
    const PrintResult printed = reprintTickets({record.id, rest, 0, printTheRestSource(record.id),
                                                {{out.file("lp"), PrinterKind::Zebra, {}}, false}, nullptr, access});
    EXPECT_EQ(printed.outcome, PrintEnding::Printed);
    EXPECT_EQ(out.read("lp"), jobsOf(all, sent, ticketCount)) << "Print the Rest prints what never left, once";
}

TEST(JournalFailure, AJournalLockedPastItsBusyTimeStopsTheRunBeforeItsUnmarkedBatch)
{
    ScratchDir dir;
    const std::string journalFile = dir.file("journal.sqlite");
    {
        const Journal created(QString::fromStdString(journalFile));
    }
    {
        QSqlDatabase other = QSqlDatabase::addDatabase("QSQLITE", "another program");
        other.setDatabaseName(QString::fromStdString(journalFile));
        ASSERT_TRUE(other.open());
        QSqlQuery lock(other);
        printThroughAFailingJournal(
            journalFile, [&] { ASSERT_TRUE(lock.exec("BEGIN IMMEDIATE")); }, [&] { lock.exec("ROLLBACK"); },
            "database is locked");
    }
    QSqlDatabase::removeDatabase("another program");
}

// A file system of 4 MB of its own, mounted where only this process sees
// it (and gone with it); filled up while the run goes on.
TEST(JournalFailure, AJournalOnAFullFileSystemStopsTheRunBeforeItsUnmarkedBatch)
{
    ScratchDir dir;
    const std::string mountPoint = dir.file("fs");
    std::filesystem::create_directory(mountPoint);
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=4m") != 0)
        GTEST_SKIP() << "no file system of its own can be mounted here (it takes root)";
    const std::string journalFile = mountPoint + "/journal.sqlite";
    {
        const Journal created(QString::fromStdString(journalFile));
    }
    const std::string filler = mountPoint + "/filler";
    const auto fill = [&] {
        std::ofstream file(filler, std::ios::binary);
        const std::string block(4096, 'x');
        while (file.write(block.data(), block.size()) && file.flush()) {
        }
    };
    printThroughAFailingJournal(journalFile, fill, [&] { std::filesystem::remove(filler); }, "database or disk is full");
    ::umount2(mountPoint.c_str(), MNT_DETACH);
}

}  // namespace
