// travcard journal copy: a station's journal file copied into a database of
// the throwaway PostgreSQL server, by the real program and, in chunks of a
// few runs, by copyJournal itself.

#include "journal/journal.h"
#include "journal/journal_copy.h"
#include "journal/journal_statements.h"

#include "tests/fixtures/travcard_program.h"
#include "tests/journal/journal_location.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <QSysInfo>
#include <gmock/gmock.h>

#include <map>
#include <thread>

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct Ran {
    int status = -1;
    std::string out, err;
    QJsonObject json() const { return QJsonDocument::fromJson(QByteArray::fromStdString(out)).object(); }
};

// A run of planned tickets of which the first sent were sent and taken.
std::int64_t ended(Journal& journal, const RunStart& start, int planned, int sent, RunOutcome outcome)
{
    const std::int64_t run = journal.startRun(start, {{"10", planned, "card of op 10"}});
    std::vector<TicketDigest> digests;
    for (int copy = 1; copy <= sent; ++copy)
        digests.push_back({"10", copy, 400 + copy, std::string(32, static_cast<char>('a' + copy))});
    if (sent > 0)
        journal.sending(run, 0, 1, digests);
    journal.endRun(run, outcome, sent, "Ended " + outcomeName(outcome) + ".");
    return run;
}

RunStart startOf(const std::string& order, std::optional<std::string> requestId = {},
                 std::optional<std::int64_t> restOf = {})
{
    RunStart start;
    start.source = restOf ? "Print the Rest of run " + std::to_string(*restOf) : "command line";
    start.requestId = std::move(requestId);
    start.restOf = restOf;
    start.location = "ST";
    start.order = order;
    start.suffix = "1";
    start.operation = "All";
    start.quantity = "3";
    start.printer = "cups:zebra";
    start.printerType = "ZEBRA";
    start.version = "9.1";
    start.shared = "shared " + order;
    start.user = "operator";
    start.dpi = 300;
    start.asked = "asked " + order;
    return start;
}

// copied_from of the journal's runs, with their numbers.
std::map<QString, std::int64_t> copies(Journal& journal)
{
    std::map<QString, std::int64_t> found;
    journal.transact(Journal::Access::Read, [&](const JournalStatements& statements) {
        QSqlQuery query = statements.prepare("SELECT copied_from, id FROM runs WHERE copied_from IS NOT NULL");
        statements.exec(query);
        while (query.next())
            found[query.value(0).toString()] = query.value(1).toLongLong();
    });
    return found;
}

QString copiedFrom(std::int64_t run) { return QSysInfo::machineHostName() + '/' + QString::number(run); }

auto recorded(const RunRecord& r)
{
    return std::tie(r.started, r.ended, r.station, r.user, r.version, r.source, r.location, r.order, r.suffix,
                    r.operation, r.quantity, r.printer, r.printerType, r.planned, r.confirmed, r.inDoubt, r.printed,
                    r.outcome, r.shared, r.dpi, r.asked);
}

auto sent(const TicketRecord& t)
{
    return std::tie(t.position, t.operation, t.copy, t.data, t.length, t.sha256, t.state);
}

class JournalCopyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "cli_journal_copy_tests";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
    }

    JournalCopyTest()
    {
        installProgram(programDir,
                       "PRINTER=" + dir.file("lp") + "\r\nPRTTYPE=ZEBRA\r\nJOURNAL=" + stationFile + "\r\n");
    }

    Ran travcard(const QStringList& arguments)
    {
        QProcess program;
        startWithoutDisplay(program, programDir.file("travcard"), arguments, dir.path());
        EXPECT_TRUE(program.waitForFinished(60'000));
        return {program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1,
                program.readAllStandardOutput().toStdString(), program.readAllStandardError().toStdString()};
    }

    ScratchDir programDir, dir;
    const std::string stationFile = dir.file("station.sqlite");
    const JournalLocation plant;
};

// A run stopped part-way and the run that printed its rest, a run whose
// request id the plant's journal holds already (the same caller's key used
// at another station), and a run still printing its rest, which a run of
// the plant's journal prints too by the time it is copied.
TEST_F(JournalCopyTest, CopiesEndedRunsWithNewNumbersOnceAndReportsWhatItLeft)
{
    Journal station(QString::fromStdString(stationFile));
    const std::int64_t stopped = ended(station, startOf("1001"), 3, 2, RunOutcome::Cancelled);
    const std::int64_t rest = ended(station, startOf("1001", std::nullopt, stopped), 1, 1, RunOutcome::Printed);
    const std::int64_t twice = ended(station, startOf("1003", "ERP-7"), 1, 1, RunOutcome::Printed);
    const std::int64_t printing = station.startRun(startOf("1003", std::nullopt, twice), {{"10", 2, "card"}});
    Journal target(plant.path());
    const std::int64_t before = ended(target, startOf("2001"), 1, 1, RunOutcome::Printed);
    const std::int64_t holder = ended(target, startOf("2002", "ERP-7"), 1, 1, RunOutcome::Printed);

    const Ran copied = travcard({"journal", "copy", "--to", plant.path(), "--json"});
    ASSERT_EQ(copied.status, 0) << copied.err;
    const QString shownTo = journalDisplayName(plant.path());
    EXPECT_THAT(copied.err, HasSubstr("Copied 3 runs from " + stationFile + " to " + shownTo.toStdString() +
                                      ": 0 skipped (already copied), 1 open, 1 request ID left behind.\n"));
    EXPECT_THAT(copied.err, HasSubstr("Run " + std::to_string(printing) + " is open and was not copied: end it first"));
    EXPECT_THAT(copied.out + copied.err, Not(HasSubstr("opr_relay")));
    const QJsonObject counts = copied.json();
    EXPECT_EQ(counts["copied"], 3);
    EXPECT_EQ(counts["already_copied"], 0);
    EXPECT_EQ(counts["open_runs"], QJsonArray{static_cast<qint64>(printing)});
    EXPECT_EQ(counts["runs_without_request_id"], QJsonArray{static_cast<qint64>(twice)});
    EXPECT_EQ(counts["runs_without_rest_of"], QJsonArray{});
    EXPECT_EQ(counts["reason"], "copied");

    const std::map<QString, std::int64_t> copy = copies(target);
    ASSERT_EQ(copy.size(), 3u);
    for (const std::int64_t run : {stopped, rest, twice}) {
        SCOPED_TRACE(run);
        ASSERT_TRUE(copy.contains(copiedFrom(run)));
        const std::int64_t number = copy.at(copiedFrom(run));
        EXPECT_GT(number, holder);
        const std::optional<RunRecord> original = station.run(run), there = target.run(number);
        ASSERT_TRUE(original && there);
        EXPECT_EQ(recorded(*there), recorded(*original));
        const std::vector<TicketRecord> tickets = station.tickets(run), copiedTickets = target.tickets(number);
        ASSERT_EQ(copiedTickets.size(), tickets.size());
        for (std::size_t i = 0; i < tickets.size(); ++i)
            EXPECT_EQ(sent(copiedTickets[i]), sent(tickets[i]));
    }
    EXPECT_EQ(target.runPrintingTheRestOf(copy.at(copiedFrom(stopped))), copy.at(copiedFrom(rest)));
    const RunRecord conflicted = *target.run(copy.at(copiedFrom(twice)));
    EXPECT_EQ(conflicted.requestId, "");
    EXPECT_THAT(conflicted.message, HasSubstr("request ID ERP-7, which run " + std::to_string(holder) + " holds"));
    EXPECT_EQ(target.runWithRequest("ERP-7")->id, holder);
    EXPECT_EQ(target.runs(10, "2001").at(0).id, before);

    const Ran again = travcard({"journal", "copy", "--to", plant.path(), "--from", QString::fromStdString(stationFile),
                                "--json"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.json()["copied"], 0);
    EXPECT_EQ(again.json()["already_copied"], 3);
    EXPECT_EQ(copies(target), copy);

    const std::int64_t restThere =
        ended(target, startOf("1003", std::nullopt, copy.at(copiedFrom(twice))), 1, 1, RunOutcome::Printed);
    station.endRun(printing, RunOutcome::Printed, 2, {});
    const Ran afterEnd = travcard({"journal", "copy", "--to", plant.path(), "--json"});
    EXPECT_EQ(afterEnd.json()["copied"], 1) << afterEnd.err;
    EXPECT_EQ(afterEnd.json()["open"], 0);
    EXPECT_EQ(afterEnd.json()["runs_without_rest_of"], QJsonArray{static_cast<qint64>(printing)});
    EXPECT_EQ(target.runPrintingTheRestOf(copy.at(copiedFrom(twice))), restThere);
}

// Chunks of two runs, an open run among them; then a station's file made
// anew, whose runs are numbered from 1 again: they are other runs.
TEST_F(JournalCopyTest, CopiesInChunksAndTellsARunNumberedAgainFromTheOneCopied)
{
    Journal target(plant.path());
    const CopyChunk twoRuns{.runs = 2};
    std::vector<std::int64_t> runs;
    {
        Journal first(QString::fromStdString(stationFile));
        for (int i = 0; i < 5; ++i)
            runs.push_back(ended(first, startOf("300" + std::to_string(i)), 2, 2, RunOutcome::Printed));
        const std::int64_t open = first.startRun(startOf("3100"), {{"10", 1, "card"}});
        runs.push_back(ended(first, startOf("3200"), 1, 1, RunOutcome::Failed));
        const JournalCopy done = copyJournal(first, target, twoRuns);
        EXPECT_EQ(done.copied, 6);
        EXPECT_EQ(done.open, std::vector<std::int64_t>{open});
        EXPECT_FALSE(done.stopped) << *done.stopped;
        first.endRun(open, RunOutcome::Failed, 0, {});
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ScratchDir anew;
    Journal second(QString::fromStdString(anew.file("station.sqlite")));
    const std::int64_t renumbered = ended(second, startOf("4000"), 1, 1, RunOutcome::Printed);
    ASSERT_EQ(renumbered, runs.front());
    const JournalCopy done = copyJournal(second, target, twoRuns);
    EXPECT_EQ(done.copied, 1);
    EXPECT_EQ(done.alreadyCopied, 0);
    const std::map<QString, std::int64_t> copy = copies(target);
    EXPECT_EQ(copy.size(), runs.size() + 1);
    const QString again = copiedFrom(renumbered) + '@' + QString::number(second.run(renumbered)->started);
    ASSERT_TRUE(copy.contains(again));
    EXPECT_EQ(target.run(copy.at(again))->order, "4000");
    EXPECT_EQ(copyJournal(second, target, twoRuns).alreadyCopied, 1);
    for (const std::int64_t run : runs)
        EXPECT_TRUE(copy.contains(copiedFrom(run))) << run;
}

// A wrong command line is refused with the usage; a journal that cannot be
// opened ends in its message, and a missing file is not made.
TEST_F(JournalCopyTest, RefusesWhatItCannotCopyFromOrTo)
{
    const QString missing = QString::fromStdString(dir.file("none.sqlite"));
    const QString unreachable = JournalLocation::uri("journal", "tkr:s3cret", "").replace(
        ":" + qEnvironmentVariable("TRAVCARD_PG_PORT") + "/", ":1/");
    const struct {
        const char* what;
        QStringList arguments;
        int status;
        const char* says;
    } cases[] = {
        {"no --to", {"journal", "copy"}, 2, "--to is required"},
        {"no action", {"journal", "--to", plant.path()}, 2, "name what to do with the journal"},
        {"a file to copy into", {"journal", "copy", "--to", missing}, 2, "--to names a journal on a PostgreSQL server"},
        {"a server to copy from", {"journal", "copy", "--to", plant.path(), "--from", plant.path()}, 2,
         "--from names a station's journal file"},
        {"no such file", {"journal", "copy", "--to", plant.path(), "--from", missing}, 1, "there is no such file"},
        {"no server", {"journal", "copy", "--to", unreachable, "--from", QString::fromStdString(stationFile)}, 1,
         "cannot be opened"},
    };
    Journal(QString::fromStdString(stationFile)).runs();
    for (const auto& refused : cases) {
        SCOPED_TRACE(refused.what);
        const Ran ran = travcard(refused.arguments + QStringList{"--json"});
        EXPECT_EQ(ran.status, refused.status) << ran.err;
        EXPECT_THAT(ran.err, HasSubstr(refused.says));
        EXPECT_EQ(ran.json()["exit_status"], refused.status);
        EXPECT_THAT(ran.err, Not(HasSubstr("s3cret")));
    }
    EXPECT_FALSE(QFile::exists(missing));
}

}  // namespace
