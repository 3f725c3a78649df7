// What "in doubt" covers at a network printer, run by the real program from
// the command line and as the service: after SIGKILL, the tickets the
// journal marked are those the printer's TCP took whole, so that Print the
// Rest skipping them loses none but the one marked as the program died, and
// the printer holds no part of a ticket; after a reset, no ticket is
// confirmed beyond what the printer read, and Print the Rest completes the
// order; an end the locked journal refused is recorded soon after the lock
// goes, on a service with nothing else to do.

#include "printing/zebra_status.h"
#include "tests/fixtures/loopback_printer.h"
#include "tests/service/service_fixture.h"

#include <QCryptographicHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <gmock/gmock.h>

#include <string_view>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Order 88888 as EPSON pages, 150 of each of its two operations: about
// 6 KB a page, four minutes at 8 KB/s.
constexpr int pagesOf88888 = 300;
const QStringList print88888{"print", "--location", "HM", "--order", "88888", "--suffix", "2",
                             "--quantity", "150", "--type", "epson"};

struct Received {
    int whole = 0;             // the run's first tickets, each as long as the journal recorded and with its SHA-256
    std::size_t trailing = 0;  // bytes after them
};

// What the printer holds, matched against the run's tickets in order. A
// Zebra run sends status requests before and between its tickets.
Received ticketsIn(std::string_view held, const std::vector<TicketRecord>& tickets)
{
    const std::string job = withoutStatusRequests(std::string(held));
    std::string_view bytes = job;
    Received received;
    for (const TicketRecord& ticket : tickets) {
        const auto length = static_cast<std::size_t>(ticket.length);
        if (ticket.state == TicketState::Planned || length > bytes.size())
            break;
        const QByteArray sha256 = QCryptographicHash::hash(QByteArray(bytes.data(), static_cast<qsizetype>(length)),
                                                           QCryptographicHash::Sha256);
        if (sha256.toStdString() != ticket.sha256)
            break;
        bytes.remove_prefix(length);
        ++received.whole;
    }
    received.trailing = bytes.size();
    return received;
}

int marked(const std::vector<TicketRecord>& tickets)
{
    return static_cast<int>(std::count_if(tickets.begin(), tickets.end(), [](const TicketRecord& ticket) {
        return ticket.state != TicketState::Planned;
    }));
}

struct Ended {
    int status = -1;
    std::string err;
};

class Doubt : public ServiceProcess, public ::testing::Test {
protected:
    Ended travcard(const QStringList& arguments)
    {
        QProcess program;
        startWithoutDisplay(program, programFile(), arguments, dir.path());
        EXPECT_TRUE(program.waitForFinished(60'000));
        return {program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1,
                program.readAllStandardError().toStdString()};
    }

    std::string programFile()
    {
        if (program_.empty())
            program_ = installProgram(programDir_, "PRINTER=preview:\r\nPRTTYPE=EPSON\r\n");
        return program_;
    }

    Journal commandLineJournal() const { return Journal(QString::fromStdString(dir.file("travcard/journal.sqlite"))); }

    ScratchDir dir;  // the command line's journal and printer files

private:
    ScratchDir programDir_;
    std::string program_;
};

enum class Door { CommandLine, Service };

class KilledAtFourSeconds : public Doubt, public ::testing::WithParamInterface<Door> {};

// The station's program dies 4 s into order 88888 at a printer taking 8 KB/s;
// its kernel still hands the printer what it had queued. The journal marked
// the pages the printer then holds, whole, and no other: in doubt is what
// was in flight, and Print the Rest taking those as printed loses none.
TEST_P(KilledAtFourSeconds, TheJournalMarksJustThePagesThePrinterTook)
{
    LoopbackPrinter slow({.statusReply = {}, .bytesPerSecond = 8192});
    QProcess printing;
    std::int64_t run = 0;
    if (GetParam() == Door::Service) {
        startService(slow.address(), "EPSON");
        const Response accepted = post("/v1/print", {{"location", "HM"}, {"order", "88888"}, {"suffix", "2"},
                                                     {"quantity", 150}, {"request_id", "ERP 8888"}});
        ASSERT_EQ(accepted.status, 202) << accepted.json["message"].toString().toStdString();
        run = accepted.json["run"].toInteger();
        std::this_thread::sleep_for(4s);
        service.kill();
        ASSERT_TRUE(service.waitForFinished(10'000));
    } else {
        startWithoutDisplay(printing, programFile(),
                            print88888 + QStringList{"--printer", QString::fromStdString(slow.address())}, dir.path());
        std::this_thread::sleep_for(4s);
        printing.kill();
        ASSERT_TRUE(printing.waitForFinished(10'000));
    }
    const std::string received = slow.received(60s);

    Journal journal = GetParam() == Door::Service ? serviceJournal() : commandLineJournal();
    journal.closeInterruptedRuns();
    const RunRecord killed = run ? *journal.run(run) : journal.runs(1).at(0);
    const std::vector<TicketRecord> tickets = journal.tickets(killed.id);
    const Received taken = ticketsIn(received, tickets);
    EXPECT_EQ(killed.outcome, "interrupted");
    EXPECT_LE(killed.inDoubt, 60);
    EXPECT_GT(taken.whole, 0) << "killed before the first page left";
    EXPECT_LT(marked(tickets), pagesOf88888) << "the run had ended";
    // The journal marks a page durably before it leaves: killed in between,
    // the page is marked and never left, so one marked page may be missing.
    EXPECT_EQ(taken.trailing, 0u) << "the printer holds part of a page, or one the journal did not mark";
    EXPECT_LE(marked(tickets), taken.whole + 1) << "marked pages the printer never took";
    EXPECT_LE(killed.confirmed, taken.whole);
    if (GetParam() == Door::Service)
        return;

    // Print the Rest, taking those in doubt as printed, prints just the pages that never left.
    const Ended rest = travcard({"rest", "--run", QString::number(killed.id), "--in-doubt", "skip", "--type", "epson",
                                 "--printer", QString::fromStdString(dir.file("rest"))});
    EXPECT_EQ(rest.status, 0) << rest.err;
    const RunRecord restRun = commandLineJournal().runs(1).at(0);
    EXPECT_EQ(restRun.planned, pagesOf88888 - marked(tickets));
    EXPECT_EQ(restRun.confirmed, restRun.planned);
}

INSTANTIATE_TEST_SUITE_P(Doors, KilledAtFourSeconds, ::testing::Values(Door::CommandLine, Door::Service),
                         [](const auto& info) { return info.param == Door::Service ? "Service" : "CommandLine"; });

struct Reset {
    const char* name;
    std::size_t after;  // bytes read before the printer resets
    bool atOnce;        // with its receive buffer full rather than drained
    QStringList order;
};

class ResetByThePrinter : public Doubt, public ::testing::WithParamInterface<Reset> {};

// A printer that resets drops what it had taken and not printed: the run
// confirms nothing past what the printer read, says so, and Print the Rest
// with those in doubt printed completes the order at a printer that works.
TEST_P(ResetByThePrinter, ConfirmsNoTicketItDidNotReadAndTheRestCompletesTheOrder)
{
    const Reset& reset = GetParam();
    LoopbackPrinter resets({.statusReply = LoopbackPrinter::hostStatus('0', '0', '0', '0'),
                            .closeAfter = reset.after,
                            .resetsAtOnce = reset.atOnce});
    const Ended cut = travcard(QStringList{"print"} + reset.order +
                               QStringList{"--printer", QString::fromStdString(resets.address())});
    EXPECT_EQ(cut.status, 5) << cut.err;
    // This printer answers every ~HS with an empty buffer: what it read
    // before the last answer is proven printed, and said so.
    EXPECT_THAT(cut.err, ::testing::AnyOf(::testing::HasSubstr(" reached the printer; the printer dropped the "
                                                               "connection, so any of them may be lost."),
                                          ::testing::ContainsRegex(" reached the printer, [0-9]+ of them printed; "
                                                                   "the printer dropped the connection")));
    const std::string received = resets.received();
    const RunRecord first = commandLineJournal().runs(1).at(0);
    const std::vector<TicketRecord> tickets = commandLineJournal().tickets(first.id);
    EXPECT_LE(first.confirmed, ticketsIn(received, tickets).whole);
    EXPECT_GT(first.inDoubt, 0);

    const QString type = reset.order[reset.order.indexOf("--type") + 1];
    const Ended rest = travcard({"rest", "--run", QString::number(first.id), "--in-doubt", "print", "--type", type,
                                 "--printer", QString::fromStdString(dir.file("rest"))});
    EXPECT_EQ(rest.status, 0) << rest.err;
    const RunRecord restRun = commandLineJournal().runs(1).at(0);
    ASSERT_NE(restRun.id, first.id);
    EXPECT_EQ(restRun.confirmed, restRun.planned);
    const std::vector<TicketRecord> printed = commandLineJournal().tickets(restRun.id);
    ASSERT_EQ(printed.size(), tickets.size() - static_cast<std::size_t>(first.confirmed));
    for (std::size_t i = 0; i < printed.size(); ++i)
        EXPECT_EQ(printed[i].operation, tickets[static_cast<std::size_t>(first.confirmed) + i].operation)
            << "ticket " << first.confirmed + i + 1 << " of the order";
}

const QStringList order12345{"--location", "ST", "--order", "12345"};

INSTANTIATE_TEST_SUITE_P(
    Printers, ResetByThePrinter,
    ::testing::Values(Reset{"After3000BytesFourZebraLabels", 3'000, false, order12345 + QStringList{"--type", "zebra"}},
                      Reset{"After60000BytesHundredEpsonPages", 60'000, true,
                            order12345 + QStringList{"--type", "epson", "--quantity", "25"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Another program holds the journal's write lock for 15 s (longer, should
// the run take longer to stop): the run stops at the batch it cannot mark,
// its end is refused, and with nothing else asked of the service the end
// is in the journal within 10 s of the lock's release.
TEST_F(Doubt, AnEndTheLockedJournalRefusedIsRecordedSoonAfterTheLockGoes)
{
    LoopbackPrinter slow({.statusReply = {}, .bytesPerSecond = 8192});
    startService(slow.address(), "EPSON");
    const Response accepted = post("/v1/print", {{"location", "HM"}, {"order", "88888"}, {"suffix", "2"},
                                                 {"quantity", 150}, {"request_id", "ERP 8889"}});
    ASSERT_EQ(accepted.status, 202) << accepted.json["message"].toString().toStdString();
    const qint64 run = accepted.json["run"].toInteger();
    for (const auto until = Clock::now() + 20s; slow.taken() == 0 && Clock::now() < until;)
        std::this_thread::sleep_for(10ms);

    const QString journalFile = QString::fromStdString(ServiceProcess::journalFile());
    const auto ended = [&](const QString& connection) {
        QSqlQuery query(QSqlDatabase::database(connection));
        query.prepare("SELECT outcome FROM runs WHERE id = ? AND ended IS NOT NULL");
        query.addBindValue(run);
        return query.exec() && query.next() ? std::optional(query.value(0).toString().toStdString()) : std::nullopt;
    };
    for (const char* connection : {"holder", "reader"}) {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", connection);
        db.setDatabaseName(journalFile);
        ASSERT_TRUE(db.open());
    }
    Clock::time_point released;
    {
        QSqlQuery lock(QSqlDatabase::database("holder"));
        ASSERT_TRUE(lock.exec("BEGIN IMMEDIATE"));
        const auto locked = Clock::now();
        const std::size_t stoppedAt = slow.received(60s).size();  // the run's connection has ended
        std::this_thread::sleep_until(std::max(locked + 15s, Clock::now() + 2 * Journal::busyTimeout));
        EXPECT_EQ(ended("holder"), std::nullopt) << "the run ended before the lock";
        lock.exec("ROLLBACK");
        released = Clock::now();
        EXPECT_LT(stoppedAt, static_cast<std::size_t>(pagesOf88888) * 6'000) << "the run went on unrecorded";
    }
    std::optional<std::string> outcome;
    while (!(outcome = ended("reader")) && Clock::now() < released + 15s)
        std::this_thread::sleep_for(100ms);
    const auto recordedAfter = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - released);
    RecordProperty("release_to_end_ms", static_cast<int>(recordedAfter.count()));
    EXPECT_LT(recordedAfter, 10s) << "the run's end was not recorded";
    EXPECT_EQ(outcome.value_or("running"), "failed");
    for (const char* connection : {"holder", "reader"})
        QSqlDatabase::removeDatabase(connection);
}

}  // namespace
