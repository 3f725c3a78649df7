// A journal on a PostgreSQL server, where it differs from a file: the URI
// as libpq reads it (a socket's folder, ~/.pgpass), its password never
// shown, tables created once however many open them at once, and a server
// that stops or holds a lock ending a call in a JournalError, never a hang.
// The journal's own tests run on a server in journal_tests_postgresql.

#include "journal/journal.h"

#include "tests/fixtures/postgres_server.h"
#include "tests/journal/journal_location.h"

#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <latch>
#include <optional>
#include <thread>
#include <vector>

#include <csignal>

#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

// Throws what the call throws, or fails the test when it returns.
template <typename Call>
std::string refusal(Call call)
{
    try {
        call();
    } catch (const JournalError& error) {
        return error.what();
    }
    ADD_FAILURE() << "no JournalError";
    return {};
}

TEST(JournalOnServer, ReadsTheUriAsLibpqDoesAndNeverShowsItsPassword)
{
    const JournalLocation location;
    const QString database = location.path().section(u'/', -1);
    ScratchDir dir;
    dir.write("pgpass", "*:*:*:tkr:opr_relay\n");
    ::chmod(dir.file("pgpass").c_str(), 0600);
    const QString secret = QStringLiteral("s3cret-Pw");
    const struct {
        const char* what;
        QString uri;
        bool pgpass;
        bool opens;
    } cases[] = {
        {"the password in the URI", location.path(), false, true},
        {"no password: ~/.pgpass", JournalLocation::uri(database, "tkr"), true, true},
        {"no password, none in ~/.pgpass", JournalLocation::uri(database, "tkr"), false, false},
        {"a socket's folder, trusted", QStringLiteral("postgresql://tkr@/%1?host=%2&port=%3")
                                           .arg(database, qEnvironmentVariable("TRAVCARD_PG_DIR"),
                                                qEnvironmentVariable("TRAVCARD_PG_PORT")), false, true},
        {"no password: the login file's", journalWithPassword(JournalLocation::uri(database, "tkr"), "opr_relay"),
         false, true},
        {"no password, an empty query: the login file's",
         journalWithPassword(JournalLocation::uri(database, "tkr", "?"), "opr_relay"), false, true},
        {"a wrong password", JournalLocation::uri(database, "tkr:" + secret), true, false},
        {"a wrong password, not the login file's",
         journalWithPassword(JournalLocation::uri(database, "tkr:" + secret), "opr_relay"), false, false},
        {"a wrong password as a parameter", JournalLocation::uri(database, "tkr", "?password=" + secret), true, false},
        {"an option libpq does not know", JournalLocation::uri(database, "tkr:" + secret, "?no_such_option=1"), true,
         false},
    };
    for (const auto& journal : cases) {
        SCOPED_TRACE(journal.what);
        qputenv("PGPASSFILE", QFile::encodeName(QString::fromStdString(dir.file(journal.pgpass ? "pgpass" : "none"))));
        if (journal.opens) {
            Journal opened(journal.uri);
            EXPECT_EQ(opened.runs().size(), 0u);
            continue;
        }
        const std::string message = refusal([&] { Journal{journal.uri}; });
        EXPECT_THAT(message, HasSubstr("The print journal postgresql://tkr@"));
        EXPECT_THAT(message, Not(HasSubstr(secret.toStdString())));
    }
    qunsetenv("PGPASSFILE");
}

// Stations starting together each find the tables missing: one creates
// them, the others wait for it. A journal of the first server version gains
// the later columns; one of a newer travcard is left alone.
TEST(JournalOnServer, IsCreatedOnceByStationsOpeningItAtOnceAndANewerOneIsRefused)
{
    const JournalLocation location;
    std::latch together(4);
    std::vector<std::thread> stations;
    std::array<std::string, 4> failed;
    for (std::size_t i = 0; i < failed.size(); ++i)
        stations.emplace_back([&, i] {
            together.arrive_and_wait();
            try {
                Journal journal(location.path());
                journal.startRun(RunStart{}, {{"10", 1, "data"}});
            } catch (const JournalError& error) {
                failed[i] = error.what();
            }
        });
    for (std::thread& station : stations)
        station.join();
    EXPECT_THAT(failed, ::testing::Each(""));
    EXPECT_EQ(Journal(location.path()).runs().size(), 4u);
    location.byHand({"DROP TABLE printer_leases", "DROP INDEX runs_copied_from",
                     "ALTER TABLE runs DROP COLUMN copied_from", "ALTER TABLE runs DROP COLUMN lease_expires",
                     "ALTER TABLE runs DROP COLUMN queued_for", "ALTER TABLE runs DROP COLUMN request",
                     "UPDATE journal_version SET version = 6"});
    EXPECT_EQ(Journal(location.path()).runs().size(), 4u);
    location.byHand({"UPDATE journal_version SET version = version + 1"});
    EXPECT_THAT(refusal([&] { Journal{location.path()}; }), HasSubstr("newer travcard (journal version"));
}

// Another session holds the tickets' table: a mark waits at most the busy
// time-out, and a read goes on.
TEST(JournalOnServer, AMarkWaitsForALockAtMostTheBusyTimeOut)
{
    const JournalLocation location;
    Journal journal(location.path());
    const std::int64_t run = journal.startRun(RunStart{}, {{"10", 2, "data"}});
    QSqlDatabase other = QSqlDatabase::addDatabase("QPSQL", "other");
    other.setHostName("127.0.0.1");
    other.setPort(qEnvironmentVariableIntValue("TRAVCARD_PG_PORT"));
    other.setUserName("tkr");
    other.setPassword("opr_relay");
    other.setDatabaseName(location.path().section(u'/', -1));
    {
        ASSERT_TRUE(other.open());
        QSqlQuery lock(other);
        ASSERT_TRUE(lock.exec("BEGIN") && lock.exec("LOCK TABLE tickets IN EXCLUSIVE MODE"));
        const auto began = std::chrono::steady_clock::now();
        EXPECT_THAT(refusal([&] { journal.sending(run, 0, 1, {{"10", 1, 9, "#"}}); }), HasSubstr("lock timeout"));
        EXPECT_LT(std::chrono::steady_clock::now() - began, Journal::busyTimeout + 3s);
        EXPECT_EQ(journal.tickets(run).size(), 2u);
        lock.exec("ROLLBACK");
    }
    other = QSqlDatabase();
    QSqlDatabase::removeDatabase("other");
    journal.sending(run, 0, 1, {{"10", 1, 9, "#"}});
    EXPECT_EQ(journal.tickets(run)[0].state, TicketState::Sending);
}

// The server stops while a journal is open, and starts again: each call
// meanwhile fails at once, and the journal goes on once it is back.
TEST(JournalOnServer, AServerThatStopsFailsEachCallUntilItIsBack)
{
    const std::optional<PostgresServer> server = PostgresServer::fromEnvironment();
    if (!server)
        GTEST_SKIP() << "scripts/test names the PostgreSQL server in TRAVCARD_PG_DIR and TRAVCARD_PG_CTL";
    const JournalLocation location;
    Journal journal(location.path());
    const std::int64_t run = journal.startRun(RunStart{}, {{"10", 2, "data"}});
    {
        const ServerDown down(*server);
        for (const auto& call : std::vector<std::function<void()>>{
                 [&] { journal.sending(run, 0, 1, {{"10", 1, 9, "#"}}); }, [&] { journal.runs(); },
                 [&] { Journal{location.path()}; }}) {
            const auto began = std::chrono::steady_clock::now();
            EXPECT_THAT(refusal(call), HasSubstr("The print journal postgresql://tkr@"));
            EXPECT_LT(std::chrono::steady_clock::now() - began, 10s);
        }
    }
    journal.sending(run, 0, 1, {{"10", 1, 9, "#"}});
    journal.endRun(run, RunOutcome::Printed, 1, {});
    EXPECT_EQ(journal.run(run)->outcome, "printed");
}

// The journal's backend and the server's postmaster hang (SIGSTOP): a call
// fails once its time is up, and so does opening the connection again; the
// journal goes on once the server answers again.
TEST(JournalOnServer, AServerThatHangsEndsEachCallWithinItsTimeOut)
{
    const JournalLocation location;
    const QString database = location.path().section(u'/', -1);
    Journal journal(location.path());
    const std::int64_t run = journal.startRun(RunStart{}, {{"10", 2, "data"}});
    QProcess psql;
    psql.start("psql", {"-X", "-At", "-h", qEnvironmentVariable("TRAVCARD_PG_DIR"), "-p",
                        qEnvironmentVariable("TRAVCARD_PG_PORT"), "-U", "postgres", "-d", "postgres", "-c",
                        "SELECT pid FROM pg_stat_activity WHERE application_name = 'travcard' AND datname = '" +
                            database + "'"});
    ASSERT_TRUE(psql.waitForFinished(30'000));
    const int backend = psql.readAllStandardOutput().trimmed().toInt();
    ASSERT_GT(backend, 0) << "the journal's connection is named travcard";
    std::ifstream pidFile(qEnvironmentVariable("TRAVCARD_PG_DIR").toStdString() + "/postmaster.pid");
    int postmaster = 0;
    ASSERT_TRUE(pidFile >> postmaster);
    std::promise<void> answered;
    // Should a call hang after all, the server goes on after 60 s, and the test fails.
    std::thread rescue([&postmaster, &backend, done = answered.get_future()] {
        if (done.wait_for(60s) == std::future_status::timeout)
            for (const int pid : {postmaster, backend})
                ::kill(pid, SIGCONT);
    });
    {
        const StoppedProcess hungBackend(backend);
        const StoppedProcess hungPostmaster(postmaster);
        // The call's time (12 s), then the connection's opened again (5 s).
        const auto began = std::chrono::steady_clock::now();
        EXPECT_THAT(refusal([&] { journal.sending(run, 0, 1, {{"10", 1, 9, "#"}}); }),
                    HasSubstr("The print journal postgresql://tkr@"));
        EXPECT_LT(std::chrono::steady_clock::now() - began, 20s);
    }
    answered.set_value();
    rescue.join();
    // The server, going on, may have run the call it was sent: the next
    // ticket's mark is what the journal takes now.
    journal.sending(run, 0, 2, {{"10", 2, 9, "#"}});
    EXPECT_EQ(journal.tickets(run)[1].state, TicketState::Sending);
}

}  // namespace
