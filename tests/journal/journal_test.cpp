// The journal itself: a run of another process that was killed, a run
// cancelled while its batches waited for the journal, pruning, opening an
// earlier version, and the claims a run holds (a request id, the rest of a
// run). The journal of a print from the window is tested with the commands.
// journal_tests_postgresql runs them on a server, but for those about the
// SQLite file (its earlier versions, its folder, its run locks, held by
// processes that are killed).

#include "commands/reprint.h"
#include "commands/unattended.h"
#include "exactly_once/journal_recorder.h"
#include "exactly_once/request_id.h"
#include "exactly_once/ticket_record.h"
#include "journal/journal.h"
#include "journal/journal_statements.h"
#include "journal/run_lock.h"
#include "journal/run_owner.h"
#include "journal/station_name.h"
#include "printing/print_stream.h"
#include "tickets/zebra_job.h"

#include "tests/fixtures/data_source.h"
#include "tests/fixtures/fifo_reader.h"
#include "tests/fixtures/sample_ticket.h"
#include "tests/journal/journal_location.h"

#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <gmock/gmock.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <latch>
#include <memory>
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

#ifndef TRAVCARD_JOURNAL_ON_SERVER
// Statements run on the file by hand, as with sqlite3.
void byHand(const QString& path, const QStringList& statements)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "by-hand");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery query(db);
        for (const QString& statement : statements)
            ASSERT_TRUE(query.exec(statement)) << statement.toStdString() << ": " << query.lastError().text().toStdString();
    }
    QSqlDatabase::removeDatabase("by-hand");
}

int userVersion(const QString& path)
{
    int version = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "version");
        db.setDatabaseName(path);
        QSqlQuery query(db);
        if (db.open() && query.exec("PRAGMA user_version") && query.next())
            version = query.value(0).toInt();
    }
    QSqlDatabase::removeDatabase("version");
    return version;
}

TEST(Journal, OpensAnEarlierVersionKeepingItsRunsAndRefusesANewerOne)
{
    // What each version added (addedBy[v - 1]), undone by hand to make a journal of an earlier one.
    const QStringList addedBy[] = {
        {},
        {"DROP INDEX runs_rest_of", "ALTER TABLE runs DROP COLUMN rest_of"},
        {"ALTER TABLE runs DROP COLUMN dpi"},
        {"ALTER TABLE runs DROP COLUMN asked", "ALTER TABLE runs DROP COLUMN spool_job"},
        {"ALTER TABLE runs DROP COLUMN printed"},
        {"ALTER TABLE runs DROP COLUMN stop_asked"},
        {"DROP INDEX runs_copied_from", "ALTER TABLE runs DROP COLUMN copied_from",
         "ALTER TABLE runs DROP COLUMN queued_for", "ALTER TABLE runs DROP COLUMN request",
         "ALTER TABLE runs DROP COLUMN lease_expires", "DROP TABLE printer_leases"},
    };
    const int current = static_cast<int>(std::size(addedBy));
    struct Case {
        std::string what;
        QStringList change;
        bool opens;
    };
    std::vector<Case> cases;
    for (int version = 1; version < current; ++version) {
        QStringList change;
        for (int later = current; later > version; --later)
            change += addedBy[later - 1];
        cases.push_back({"version " + std::to_string(version),
                         change << QStringLiteral("PRAGMA user_version = %1").arg(version), true});
    }
    cases.push_back({"the current version set back to 1 by an older travcard", {"PRAGMA user_version = 1"}, true});
    cases.push_back({"a newer version", {QStringLiteral("PRAGMA user_version = %1").arg(current + 1)}, false});
    for (const Case& file : cases) {
        SCOPED_TRACE(file.what);
        ScratchDir dir;
        const QString path = QString::fromStdString(dir.file("journal.sqlite"));
        std::int64_t kept = 0;
        {
            Journal journal(path);
            kept = startEndedRun(journal, 2);
        }
        byHand(path, file.change);
        if (!file.opens) {
            EXPECT_THROW(Journal{path}, JournalError);
            EXPECT_EQ(userVersion(path), current + 1) << "left as it was";
            continue;
        }
        Journal journal(path);
        EXPECT_EQ(userVersion(path), current);
        ASSERT_EQ(journal.runs().size(), 1u);
        EXPECT_EQ(journal.runs().front().id, kept);
        EXPECT_EQ(journal.tickets(kept).size(), 2u);
        EXPECT_EQ(journal.runs().front().asked, std::nullopt);
        RunStart rest;
        rest.restOf = kept;
        rest.dpi = 300;
        rest.asked = "resolution 300";
        const std::int64_t first = journal.startRun(rest, {});
        EXPECT_EQ(journal.runPrintingTheRestOf(kept), first);
        EXPECT_EQ(journal.run(first)->dpi, 300);
        EXPECT_EQ(journal.run(first)->asked, "resolution 300");
        EXPECT_NO_THROW(journal.spooled(first, 7));
        EXPECT_EQ(journal.askStop(first), Journal::StopAsk::Asked);
        EXPECT_THROW(journal.startRun(rest, {}), RestTaken);
    }
}

// Print the Rest runs an earlier travcard recorded keep the run they finished.
TEST(Journal, APrintTheRestOfAnEarlierVersionStillHoldsItsRun)
{
    ScratchDir dir;
    const QString path = QString::fromStdString(dir.file("journal.sqlite"));
    std::int64_t finished = 0;
    {
        Journal journal(path);
        finished = startEndedRun(journal, 2);
    }
    const QString rest = QStringLiteral("'Print the Rest of run %1'").arg(finished);
    byHand(path, {"DROP INDEX runs_rest_of", "ALTER TABLE runs DROP COLUMN rest_of",
                  "INSERT INTO runs (id, started, ended, outcome, planned, source) VALUES (50, 1, 2, 'printed', 2, " + rest + ")",
                  "INSERT INTO runs (id, started, ended, outcome, planned, source) VALUES (51, 1, 2, 'printed', 2, " + rest + ")",
                  "PRAGMA user_version = 1"});
    Journal journal(path);
    EXPECT_EQ(journal.runPrintingTheRestOf(finished), 50);
    RunStart again;
    again.restOf = finished;
    EXPECT_THROW(journal.startRun(again, {}), RestTaken);
}
#endif

// This process's id with another start time: a process that is gone, on this
// boot of this machine (where a journal on a server can tell).
QString goneOwner()
{
    QStringList fields = QString::fromStdString(currentRunOwner(false)).split(u':');
    fields.back() += "1";
    return fields.join(u':');
}

// A run holds a request id and the rest of run 42, and ends, or not, in
// each way; then another run claims either. A run that marked no ticket
// cannot have printed: once it has ended, been released (its printing
// never began), or its process is gone, it lets both go, and stays as
// history.
TEST(Journal, ARunGivesItsClaimsBackOnlyWhenItMarkedNoTicketAndIsOver)
{
    enum class State { Ended, Released, Open, OwnerGone };
    struct Holder {
        const char* what;
        State state;
        bool ticketMarked;
        bool stillHeld;
        const char* outcome;
    };
    const Holder holders[] = {
        {"ended having marked a ticket", State::Ended, true, true, "failed"},
        {"ended having marked none", State::Ended, false, false, "failed"},
        {"released having marked none", State::Released, false, false, "failed"},
        {"released having marked a ticket, which it may not", State::Released, true, true, ""},
        {"still printing", State::Open, false, true, ""},
        {"of a process that is gone, having marked none", State::OwnerGone, false, false, "interrupted"},
        {"of a process that is gone, having marked a ticket", State::OwnerGone, true, true, "interrupted"},
    };
    enum class Claim { Rest, Request, AfterStartUp };
    for (const Claim claim : {Claim::Rest, Claim::Request, Claim::AfterStartUp})
        for (const Holder& holder : holders) {
            SCOPED_TRACE(std::string(holder.what) + ", claim " + std::to_string(static_cast<int>(claim)));
            const JournalLocation location;
            Journal journal(location.path());
            RunStart start;
            start.requestId = "ERP 1";
            start.restOf = 42;
            const std::int64_t held = journal.startRun(start, {{"10", 2, "data"}});
            if (holder.ticketMarked)
                journal.sending(held, 0, 1, {{"10", 1, 9, "#"}});
            const std::string message = "The printer lp is not available.";
            if (holder.state == State::Ended)
                journal.endRun(held, RunOutcome::Failed, 0, message);
            if (holder.state == State::Released) {
                EXPECT_EQ(journal.releaseRun(held, message), !holder.ticketMarked);
            }
            if (holder.state == State::OwnerGone)
                location.byHand({QString("UPDATE runs SET owner = '%1' WHERE id = %2").arg(goneOwner()).arg(held)});

            RunStart rest;
            rest.restOf = 42;
            RunStart request;
            request.requestId = "ERP 1";
            std::optional<std::int64_t> holderNow;
            switch (claim) {
            case Claim::Rest:
                try {
                    journal.startRun(rest, {});
                } catch (const RestTaken& taken) {
                    EXPECT_EQ(taken.run(), 42);
                    holderNow = taken.by();
                }
                break;
            case Claim::Request: {
                const std::variant<std::int64_t, RunRecord> claimed = journal.claimRequest(request);
                if (const auto* run = std::get_if<RunRecord>(&claimed))
                    holderNow = run->id;
                break;
            }
            case Claim::AfterStartUp:
                journal.closeInterruptedRuns();
                holderNow = journal.runPrintingTheRestOf(42);
                EXPECT_EQ(holderNow.has_value(), journal.runWithRequest("ERP 1").has_value());
                break;
            }
            EXPECT_EQ(holderNow, holder.stillHeld ? std::optional(held) : std::nullopt);
            const std::optional<RunRecord> history = journal.run(held);
            ASSERT_TRUE(history);
            EXPECT_EQ(history->planned, 2);
            EXPECT_EQ(history->confirmed, 0);
            EXPECT_EQ(history->outcome, holder.outcome);
            if (history->outcome == "failed") {
                EXPECT_EQ(history->message, message);
            }
            EXPECT_EQ(journal.tickets(held).size(), 2u) << "its plan is kept";
        }
}

struct StoppedRun {
    std::int64_t id;
    std::string printed;  // what printing its rest prints
};

// Two tickets, of which the printer confirmed none.
StoppedRun stoppedRun(Journal& journal)
{
    const TicketData ticket = sampleTicket();
    RunStart start;
    start.shared = encodeSharedFields(ticket);
    const std::int64_t run = journal.startRun(start, {{"20", 2, encodeTicketFields(ticket)}});
    journal.endRun(run, RunOutcome::Cancelled, 0, "Printing cancelled: 0 of 2 tickets were sent.");
    return {run, zebraJob(ticket) + zebraJob(ticket)};
}

ReprintRequest printTheRest(std::int64_t run, const std::string& printer, std::shared_ptr<JournalAccess> journal)
{
    return {run, {1, 2}, 0, printTheRestSource(run), {{printer, PrinterKind::Zebra, {}}, false}, nullptr,
            std::move(journal)};
}

std::vector<std::string> texts(const std::vector<Message>& messages)
{
    std::vector<std::string> shown;
    for (const Message& message : messages)
        shown.push_back(message.text);
    return shown;
}

// Two windows, or two programs, press Print the Rest of one run at the same
// moment: each job has its own connection to the journal, as each program has.
TEST(Journal, TwoPrintTheRestOfOneRunAtOncePrintItOnce)
{
    ScratchDir dir;
    const JournalLocation location;
    const QString& path = location.path();
    const auto access = std::make_shared<JournalAccess>(path);
    Journal journal(path);
    for (int attempt = 1; attempt <= 20; ++attempt) {
        SCOPED_TRACE(attempt);
        const StoppedRun stopped = stoppedRun(journal);
        std::array<std::string, 2> printers;
        std::array<PrintResult, 2> results;
        std::latch together(2);
        std::vector<std::thread> windows;
        for (std::size_t i = 0; i < 2; ++i) {
            printers[i] = dir.file("lp-" + std::to_string(attempt) + "-" + std::to_string(i));
            windows.emplace_back([&, i] {
                const ReprintRequest request = printTheRest(stopped.id, printers[i], access);
                together.arrive_and_wait();
                results[i] = reprintTickets(request);
            });
        }
        for (std::thread& window : windows)
            window.join();
        const std::optional<std::int64_t> rest = journal.runPrintingTheRestOf(stopped.id);
        ASSERT_TRUE(rest);
        int printed = 0;
        for (std::size_t i = 0; i < 2; ++i) {
            if (std::filesystem::exists(printers[i])) {
                ++printed;
                EXPECT_EQ(dir.read(std::filesystem::path(printers[i]).filename()), stopped.printed);
                EXPECT_EQ(results[i].journalRun, *rest);
                EXPECT_THAT(texts(results[i].messages), ::testing::IsEmpty());
            } else {
                EXPECT_THAT(texts(results[i].messages), ::testing::ElementsAre(restTakenMessage(stopped.id, *rest)));
            }
        }
        EXPECT_EQ(printed, 1);
    }
}

// Its rest is not known yet: the window refuses, and so does the command,
// for a window that was told before the run began.
TEST(Journal, PrintTheRestOfARunStillPrintingIsRefused)
{
    ScratchDir dir;
    const JournalLocation location;
    const QString& path = location.path();
    Journal journal(path);
    const TicketData ticket = sampleTicket();
    RunStart start;
    start.shared = encodeSharedFields(ticket);
    const std::int64_t printing = journal.startRun(start, {{"20", 2, encodeTicketFields(ticket)}});
    const PrintResult result =
        reprintTickets(printTheRest(printing, dir.file("lp"), std::make_shared<JournalAccess>(path)));
    EXPECT_EQ(texts(result.messages), std::vector{stillPrintingMessage(printing)});
    EXPECT_FALSE(std::filesystem::exists(dir.file("lp")));
    EXPECT_EQ(journal.runs().size(), 1u);
}

// A Print the Rest that printed nothing leaves the rest to the next one.
TEST(Journal, PrintTheRestThatPrintsNothingLeavesTheRestForTheNext)
{
    ScratchDir dir;
    const JournalLocation location;
    const QString& path = location.path();
    const auto access = std::make_shared<JournalAccess>(path);
    Journal journal(path);
    const StoppedRun stopped = stoppedRun(journal);
    const std::string missing = dir.file("no-such-folder/lp");
    struct Case {
        std::string printer;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {missing, {"The printer " + missing + " is not available.\nNo such file or directory."}},
        {"preview:", {}},
    };
    for (const Case& printer : cases) {
        SCOPED_TRACE(printer.printer);
        const PrintResult result = reprintTickets(printTheRest(stopped.id, printer.printer, access));
        EXPECT_EQ(texts(result.messages), printer.messages);
        EXPECT_EQ(journal.runPrintingTheRestOf(stopped.id), std::nullopt);
        const std::optional<RunRecord> run = journal.run(result.journalRun);
        ASSERT_TRUE(run);
        EXPECT_EQ(run->source, printTheRestSource(stopped.id));
        EXPECT_GT(run->ended, 0) << "not left open, holding the rest";
    }
    const PrintResult result = reprintTickets(printTheRest(stopped.id, dir.file("lp"), access));
    EXPECT_THAT(texts(result.messages), ::testing::IsEmpty());
    EXPECT_EQ(dir.read("lp"), stopped.printed);
    EXPECT_EQ(journal.runPrintingTheRestOf(stopped.id), result.journalRun);
}

// A request retried after its run stopped part-way is told how to print the
// rest in the words of the door it came by: a print's request id and a
// reprint's, whose answer is made past the claim of its run.
TEST(Journal, ARetriedRequestThatStoppedNamesItsDoorsPrintTheRest)
{
    ScratchDir dir;
    const JournalLocation location;
    const QString& path = location.path();
    JournalAccess access(path);
    Journal journal(path);
    const auto stopAfterOne = [&journal](std::int64_t run) {
        journal.sending(run, 0, 1, {{"20", 1, 9, "#"}, {"20", 2, 9, "#"}});
        journal.endRun(run, RunOutcome::Cancelled, 1, "Printing cancelled: 1 of 2 tickets were sent.");
    };
    RunStart print;
    print.requestId = "ERP 1";
    print.order = "12345";
    const std::int64_t printed = journal.startRun(print, {{"20", 2, "data"}});
    stopAfterOne(printed);
    PrinterSettings printer;
    printer.name = dir.file("lp");
    const ReprintOfRun reprint{printed, {1, 2}, 1, "ERP 2"};
    Answer first;
    const std::variant<std::int64_t, int> claimed = recordReprint(access, reprint, printer, {}, first);
    ASSERT_TRUE(std::holds_alternative<std::int64_t>(claimed))
        << ::testing::PrintToString(texts(first.messages.shown));
    const std::int64_t reprinted = std::get<std::int64_t>(claimed);
    journal.planRun(reprinted, RunStart{}, {{"20", 2, "data"}});
    stopAfterOne(reprinted);

    struct Case {
        const char* door;
        std::function<std::unique_ptr<Answer>()> answer;
        std::function<std::string(std::int64_t)> hint;
    };
    const auto commandLine = [](std::int64_t run) {
        return "travcard rest --run " + std::to_string(run) + " prints them.";
    };
    const Case cases[] = {
        {"a plain answer", [] { return std::make_unique<Answer>(); }, commandLine},
        {"the command line", [] { return std::make_unique<DoorAnswer>(Door::CommandLine); }, commandLine},
        {"the service", [] { return std::make_unique<DoorAnswer>(Door::Service); },
         [](std::int64_t run) { return "POST /v1/runs/" + std::to_string(run) + "/rest prints them."; }},
    };
    const auto told = [](const Case& door, std::int64_t run) {
        return std::vector<std::string>{"Request ID belongs to run " + std::to_string(run) +
                                            ", which did not print all its tickets; Print the Rest finishes it.",
                                        door.hint(run)};
    };
    for (const Case& door : cases) {
        SCOPED_TRACE(door.door);
        const std::unique_ptr<Answer> again = door.answer();
        EXPECT_EQ(std::get<int>(claimRequest(access, print, *again)), stoppedPartWay);
        EXPECT_EQ(texts(again->messages.shown), told(door, printed));
        const std::unique_ptr<Answer> reprintAgain = door.answer();
        EXPECT_EQ(std::get<int>(recordReprint(access, reprint, printer, {}, *reprintAgain)), stoppedPartWay);
        EXPECT_EQ(texts(reprintAgain->messages.shown), told(door, reprinted));
    }
}

TEST(Journal, PruneRemovesEndedRunsOlderThanTheLimitWithTheirTicketsOnly)
{
    const JournalLocation location;
    Journal journal(location.path());
    std::vector<std::int64_t> old;
    for (int i = 0; i < 120; ++i)  // more than one chunk
        old.push_back(startEndedRun(journal, 3));
    const std::int64_t recent = startEndedRun(journal, 3);
    const std::int64_t oldButOpen = journal.startRun(RunStart{}, {{"10", 1, "data"}});
    const qint64 dayMs = 24LL * 3600 * 1000;
    location.byHand({QString("UPDATE runs SET started = started - %1 WHERE id <> %2").arg(181 * dayMs).arg(recent),
                     QString("UPDATE runs SET started = started - %1 WHERE id = %2").arg(179 * dayMs).arg(recent)});

    EXPECT_EQ(journal.prune(180, 5s), 120);
    std::vector<std::int64_t> left;
    for (const RunRecord& run : journal.runs())
        left.push_back(run.id);
    EXPECT_EQ(left, (std::vector<std::int64_t>{oldButOpen, recent}));
    EXPECT_TRUE(journal.tickets(old.back()).empty());
    EXPECT_EQ(journal.tickets(recent).size(), 3u);
}

// A journal the plant's stations share: a view of one station's runs shows
// those alone, by the name the journal records, with the other filters too.
TEST(Journal, ListsTheRunsOfOneStationOrOfAll)
{
    const JournalLocation location;
    Journal journal(location.path());
    const std::int64_t here = startEndedRun(journal, 1);
    const std::int64_t elsewhere = startEndedRun(journal, 1);
    const std::int64_t hereAgain = startEndedRun(journal, 1);
    location.byHand({QString("UPDATE runs SET station = 'line 3' WHERE id = %1").arg(elsewhere)});
    const std::string thisStation = stationName().toStdString();
    struct Case {
        std::string station;
        std::int64_t before;
        std::vector<std::int64_t> listed;
    };
    const Case cases[] = {
        {"", 0, {hereAgain, elsewhere, here}},
        {thisStation, 0, {hereAgain, here}},
        {thisStation, hereAgain, {here}},
        {"line 3", 0, {elsewhere}},
        {"line", 0, {}},
    };
    for (const Case& asked : cases) {
        SCOPED_TRACE("station '" + asked.station + "' before " + std::to_string(asked.before));
        std::vector<std::int64_t> listed;
        for (const RunRecord& run : journal.runs(100, {}, 0, asked.before, asked.station))
            listed.push_back(run.id);
        EXPECT_EQ(listed, asked.listed);
    }
}

#ifndef TRAVCARD_JOURNAL_ON_SERVER
// Whether this machine lets a test start a program in a PID namespace of its own.
bool pidNamespacesAvailable()
{
    return QProcess::execute("unshare", {"--pid", "--fork", "--mount-proc", "true"}) == 0;
}

// The child prints 1,000-byte tickets to a FIFO that is read at 2 KB per
// 20 ms; it is killed once 30 tickets have been read. In a PID namespace of
// its own, as a container that shares the journal, its process id names
// another process here: its run's lock tells that it runs.
class KilledRun : public testing::TestWithParam<bool> {};

TEST_P(KilledRun, IsInterruptedWithItsTicketInDoubtButALiveOneIsLeftAlone)
{
    const bool ownPidNamespace = GetParam();
    if (ownPidNamespace && !pidNamespacesAvailable())
        GTEST_SKIP() << "unshare --pid is not allowed here";
    ScratchDir dir;
    const std::string fifo = dir.file("printer.fifo");
    const QString path = QString::fromStdString(dir.file("journal.sqlite"));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    FifoReader printer(fifo, 2000);
    QProcess child;
    const QStringList arguments{path, QString::fromStdString(fifo), "500", "ERP 7"};
    if (ownPidNamespace)
        child.start("unshare", QStringList{"--pid", "--fork", "--mount-proc", "--kill-child", JOURNAL_PRINT_CHILD} + arguments);
    else
        child.start(JOURNAL_PRINT_CHILD, arguments);
    ASSERT_TRUE(child.waitForStarted());
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (printer.bytesRead() < 30'000 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);

    std::int64_t id = 0;
    {
        Journal journal(path);
        EXPECT_EQ(journal.closeInterruptedRuns(), 0) << "the child still runs";
        ASSERT_EQ(journal.runs().size(), 1u);
        EXPECT_TRUE(journal.runs().front().outcome.empty());
        id = journal.runs().front().id;
        // Nor is it taken for gone when its lock cannot be read.
        const QString locks = runLockFile(path);
        ASSERT_TRUE(QFile::rename(locks, locks + ".away"));
        EXPECT_EQ(journal.closeInterruptedRuns(), 0) << "the lock file cannot be opened";
        ASSERT_TRUE(QFile::rename(locks + ".away", locks));
    }
    {
        JournalAccess access(path);
        RunStart retry;
        retry.source = "command line";
        retry.requestId = "ERP 7";
        Answer answer;
        const std::variant<std::int64_t, int> claim = claimRequest(access, retry, answer);
        EXPECT_EQ(claim, (std::variant<std::int64_t, int>(inProgressElsewhere))) << "a retry prints nothing";
    }
    child.kill();  // SIGKILL; unshare's child is killed as unshare dies
    ASSERT_TRUE(child.waitForFinished());
    while (runLockState(path, id) == RunLockState::Held && std::chrono::steady_clock::now() < deadline + 10s)
        std::this_thread::sleep_for(10ms);
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

INSTANTIATE_TEST_SUITE_P(Journal, KilledRun, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "InAPidNamespaceOfItsOwn" : "InThisPidNamespace";
                         });
#endif

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
    const JournalLocation location;
    const QString& path = location.path();
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

// A mark keeps each ticket's operation, length and digest byte for byte,
// whatever they hold, and the counts it carries; on a server under a lease
// whose printer's name holds a quote too. A ticket is marked once.
TEST(Journal, KeepsEachMarkByteForByte)
{
    const JournalLocation location;
    Journal journal(location.path());
    const std::string operation = "O'Hara \\ {now} %1 ? \xc3\xa9";
    std::string digest;
    for (int i = 0; i < 8; ++i)
        digest += std::string("\0'\\\xff", 4);
    const std::string reversed(digest.rbegin(), digest.rend());
    const std::int64_t run = journal.startRun(RunStart{}, {{operation, 3, "data"}});
    if (journal.keepsLeases()) {
        const std::string printer = "socket://o'hara\\:9100";
        const auto fence = journal.takePrinterLease(printer, "holder", std::chrono::seconds(30));
        ASSERT_TRUE(std::holds_alternative<std::int64_t>(fence));
        journal.markUnderLease(printer, std::get<std::int64_t>(fence));
    }
    journal.sending(run, 0, 1, {{operation, 1, 700, digest}, {operation, 2, 0, reversed}});
    journal.sending(run, {2, 1}, 3, {{operation, 3, 1, digest}});
    EXPECT_THROW(journal.sending(run, 0, 2, {{operation, 2, 0, digest}}), JournalError) << "a ticket marked twice";
    const std::vector<TicketRecord> tickets = journal.tickets(run);
    ASSERT_EQ(tickets.size(), 3u);
    const std::pair<std::int64_t, std::string> kept[] = {{700, digest}, {0, reversed}, {1, digest}};
    for (std::size_t i = 0; i < tickets.size(); ++i) {
        EXPECT_EQ(tickets[i].length, kept[i].first) << i;
        EXPECT_EQ(tickets[i].sha256, kept[i].second) << i;
        EXPECT_EQ(tickets[i].state, i < 2 ? TicketState::Confirmed : TicketState::Sending) << i;
    }
    EXPECT_EQ(journal.runs().front().printed, 1);
    std::vector<std::string> operations;
    journal.transact(Journal::Access::Read, [&](const JournalStatements& statements) {
        QSqlQuery read = statements.prepare("SELECT operation FROM tickets ORDER BY id");
        statements.exec(read);
        while (read.next())
            operations.push_back(read.value(0).toString().toStdString());
    });
    EXPECT_EQ(operations, std::vector<std::string>(3, operation));
}

#ifndef TRAVCARD_JOURNAL_ON_SERVER
// The journal's folder went away after start-up: the run's own connection
// cannot be opened, so no ticket can be marked before it is sent, and none
// is sent. The journal stays on for the next run.
TEST(Journal, ARunWhoseJournalCannotBeOpenedPrintsNothingAndSaysWhy)
{
    ScratchDir dir;
    dir.write("not-a-folder", "");
    const auto journal = std::make_shared<JournalAccess>(QString::fromStdString(dir.file("not-a-folder/j.sqlite")));
    const std::string printerFile = dir.file("printer.out");
    MessageList messages;
    printRecorded(journal, printerFile, 500, messages);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_THAT(messages.shown.front().text,
                ::testing::StartsWith("The print journal " + dir.file("not-a-folder/j.sqlite") + " cannot be opened"));
    EXPECT_THAT(messages.shown.front().text, ::testing::EndsWith("\n0 of 500 tickets were sent."));
    EXPECT_EQ(std::filesystem::file_size(printerFile), 0u);
    EXPECT_FALSE(journal->off());
}
#endif

}  // namespace

namespace {

// A claimed run asked to stop before its first ticket keeps its request id
// however it ends (so that a retry prints nothing); one that was not asked
// gives it back. A request to an ended run, or to none, asks nothing.
TEST(Journal, ARunAskedToStopBeforeItsFirstTicketKeepsItsRequestId)
{
    const JournalLocation location;
    Journal journal(location.path());
    struct Case {
        const char* id;
        bool asked;
        std::function<void(std::int64_t)> end;
        const char* outcome;
        bool kept;
    };
    const Case cases[] = {
        {"released asked", true, [&](std::int64_t run) { journal.releaseRun(run, "gone"); }, "cancelled", true},
        {"ended asked", true, [&](std::int64_t run) { journal.endRun(run, RunOutcome::Cancelled, 0, {}); }, "cancelled",
         true},
        {"cancelled unbegun", false, [&](std::int64_t run) { journal.cancelUnbegun(run, "cancelled"); }, "cancelled",
         true},
        {"released unasked", false, [&](std::int64_t run) { journal.releaseRun(run, "gone"); }, "failed", false},
    };
    for (const Case& each : cases) {
        SCOPED_TRACE(each.id);
        RunStart start;
        start.requestId = each.id;
        const std::int64_t run = std::get<std::int64_t>(journal.claimRequest(start));
        if (each.asked) {
            EXPECT_EQ(journal.askStop(run), Journal::StopAsk::Asked);
            EXPECT_TRUE(journal.stopAsked(run));
            EXPECT_EQ(journal.runsAskedToStop(), std::vector<std::int64_t>{run});
        }
        each.end(run);
        EXPECT_EQ(journal.run(run)->outcome, each.outcome);
        EXPECT_EQ(journal.runWithRequest(each.id).has_value(), each.kept);
        EXPECT_EQ(journal.askStop(run), Journal::StopAsk::Ended);
        EXPECT_TRUE(journal.runsAskedToStop().empty());
    }
    EXPECT_EQ(journal.askStop(9999), Journal::StopAsk::Unknown);
}

}  // namespace
