// The window against a PostgreSQL server that restarts, goes down, ends the
// program's backend or stops answering: the operator never has to restart
// the program, and the window always paints and answers.

#include "cli/sub_commands.h"
#include "commands/job_runner.h"
#include "tests/fixtures/event_loop_probe.h"
#include "tests/fixtures/main_window_fixture.h"
#include "tests/fixtures/postgres_server.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::StartsWith;

class ServerInterruption : public MainWindowTest {
protected:
    void SetUp() override
    {
        server = PostgresServer::fromEnvironment();
        if (!server)
            GTEST_SKIP() << "scripts/test names the PostgreSQL server in TRAVCARD_PG_DIR and TRAVCARD_PG_CTL";
        jobsBefore = JobRunner::unfinishedJobs();
    }

    void TearDown() override
    {
        if (server && !server->running())
            server->start();
        // A given-up call ends once its backend answers again.
        for (int i = 0; i < 200 && JobRunner::unfinishedJobs() > jobsBefore; ++i)
            std::this_thread::sleep_for(50ms);
    }

    int backendPid()
    {
        return std::stoi(db().query("select pg_backend_pid() as PID").text("PID"));
    }

    // Ends the program's backend from a connection of its own, and waits until it is gone.
    void terminateBackend()
    {
        const int pid = backendPid();
        odbc::Connection admin;
        admin.open(db().connectionString);
        const std::string backend = std::to_string(pid);
        admin.query("select pg_terminate_backend(" + backend + ")");
        for (int i = 0; i < 100; ++i) {
            if (admin.query("select pid from pg_stat_activity where pid = " + backend).eof())
                return;
            std::this_thread::sleep_for(20ms);
        }
        FAIL() << "backend " << pid << " did not end";
    }

    void expectNoMessage()
    {
        EXPECT_TRUE(messages.shown.empty()) << messages.shown.front().text;
        messages.shown.clear();
    }

    std::optional<PostgresServer> server;
    int jobsBefore = 0;
};

// Another user's transaction that holds a table locked while the object
// lives: psql on the server's socket, idle in its transaction. Closing its
// input ends the session, and the lock with it, also when a test fails.
class LockedTable {
public:
    LockedTable(const std::string& connectionString, const std::string& table)
    {
        psql_.start("psql", {"-X", "-q", "-h", std::getenv("TRAVCARD_PG_DIR"), "-p",
                             std::getenv("TRAVCARD_PG_PORT"), "-U", "tkr", "-d", "travcard"});
        EXPECT_TRUE(psql_.waitForStarted());
        psql_.write(QByteArray::fromStdString("begin; lock table " + table + " in access exclusive mode;\n"));
        psql_.waitForBytesWritten();
        odbc::Connection admin;
        admin.open(connectionString);
        for (int i = 0; i < 250; ++i) {
            if (!admin.query("select l.pid from pg_locks l join pg_class c on c.oid = l.relation "
                             "where c.relname = '" + table + "' and l.mode = 'AccessExclusiveLock' and l.granted")
                     .eof())
                return;
            std::this_thread::sleep_for(20ms);
        }
        ADD_FAILURE() << "psql did not lock " << table;
    }
    ~LockedTable()
    {
        psql_.closeWriteChannel();
        if (!psql_.waitForFinished(5000))
            psql_.kill();
        psql_.waitForFinished(5000);
    }
    LockedTable(const LockedTable&) = delete;
    LockedTable& operator=(const LockedTable&) = delete;

private:
    QProcess psql_;
};

enum class Interruption { ServerRestart, BackendTerminated };

class LostConnection : public ServerInterruption,
                       public ::testing::WithParamInterface<Interruption> {
protected:
    void interrupt()
    {
        if (GetParam() == Interruption::ServerRestart)
            server->restart();
        else
            terminateBackend();
    }
};

TEST_P(LostConnection, IsReopenedForTheNextLocateAndPrintWithoutAMessage)
{
    start();
    locate("12345");
    print("All", "1");
    expectNoMessage();
    const std::string printedBefore = printed();

    interrupt();
    locate("12345");
    expectNoMessage();
    EXPECT_EQ(window->txtMaterial->text(), "WIDGET-100          ");
    EXPECT_TRUE(window->cmdPrint->isEnabled());

    interrupt();
    print("All", "1");
    expectNoMessage();
    EXPECT_EQ(printed(), printedBefore);
    EXPECT_EQ(db().connectionsOpened(), 3);
}

INSTANTIATE_TEST_SUITE_P(Server, LostConnection,
                         ::testing::Values(Interruption::ServerRestart, Interruption::BackendTerminated),
                         [](const auto& info) {
                             return info.param == Interruption::ServerRestart ? "Restart" : "TerminateBackend";
                         });

TEST_F(ServerInterruption, AServerThatStaysDownIsReportedOnceAndTheNextCommandAfterItsStartWorks)
{
    start();
    locate("12345");
    {
        const ServerDown down(*server);
        locate("12345");
        ASSERT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(messages.shown[0].icon, MessageIcon::Critical);
        EXPECT_THAT(messages.shown[0].text, StartsWith(std::string(connectionLostMessage) + "\nDatabase error "));
        EXPECT_TRUE(window->cmdLocate->isEnabled());
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
        messages.shown.clear();
    }
    locate("12345");
    expectNoMessage();
    EXPECT_TRUE(window->cmdPrint->isEnabled());
}

TEST_F(ServerInterruption, AStalledBackendEndsTheCommandAfterTheTimeOutAndTheWindowStaysLive)
{
    start();
    constexpr auto timeout = 700ms;
    window->commands().setDatabaseTimeout(timeout);
    const int stalledPid = backendPid();
    {
        const StoppedProcess stalled(stalledPid);
        window->txtOrder->setText("12345");
        QElapsedTimer clock;
        clock.start();
        window->cmdLocate->click();
        EXPECT_LT(longestTickGap(20s, [&] { return !window->commandRunning(); }), 100ms);
        EXPECT_GE(clock.elapsed(), timeout.count());
        EXPECT_THAT(messages.shown, ElementsAre(RecordedMessage{"The database did not answer within 30 seconds.",
                                                                MessageIcon::Critical}));
        EXPECT_TRUE(window->cmdLocate->isEnabled());
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
        messages.shown.clear();
    }
    locate("12345");
    expectNoMessage();
    EXPECT_NE(backendPid(), stalledPid) << "the next command runs on a fresh connection";
}

// The run opens its printer before it reads the item master. Once the
// operator was told that the command failed, nothing of it may print: the
// Print he presses next is the only one that does.
TEST_F(ServerInterruption, ARunGivenUpWhileTheItemMasterIsLockedPrintsNothingAfterTheMessage)
{
    start();
    locate("12345");
    print("All", "1");
    const std::string once = printed();
    std::filesystem::remove(printerFile());
    window->commands().setDatabaseTimeout(700ms);
    {
        const LockedTable locked(db().connectionString, "itmmas_base");
        press(window->cmdPrint);
        EXPECT_THAT(messages.texts(), ElementsAre("The database did not answer within 30 seconds."));
        messages.shown.clear();
    }
    for (int i = 0; i < 200 && JobRunner::unfinishedJobs() > jobsBefore; ++i)
        std::this_thread::sleep_for(50ms);
    ASSERT_EQ(JobRunner::unfinishedJobs(), jobsBefore) << "the given-up run's query returns with the lock gone";
    EXPECT_EQ(printerFileExists() ? printed() : "", "");

    print("All", "1");
    expectNoMessage();
    EXPECT_EQ(printed(), once);
}

// A server whose postmaster is stopped takes new connections and never
// answers them; a driver may wait for that without end. Both front doors
// give up after the watchdog's time.
TEST_F(ServerInterruption, AServerThatDoesNotAnswerAtStartUpEndsTheStartWithTheMessage)
{
    std::ifstream pidFile(std::string(std::getenv("TRAVCARD_PG_DIR")) + "/postmaster.pid");
    int postmaster = 0;
    ASSERT_TRUE(pidFile >> postmaster);
    const StoppedProcess stalled(postmaster);
    const std::string noAnswer = "The database did not answer within 30 seconds.";

    dir.write("travcard.cfg", "PRINTER=" + printerFile() + "\r\nPRTTYPE=ZEBRA\r\n");
    window = std::make_unique<frmMain>(&messages);
    window->commands().setDatabaseTimeout(700ms);
    EXPECT_EQ(window->Form_Load(dir.path()), 2);
    EXPECT_THAT(messages.shown, ElementsAre(RecordedMessage{noAnswer, MessageIcon::Critical}));

    ::testing::internal::CaptureStderr();
    const int status = cli::runSubCommand({"travcard", "print", "--location", "ST", "--order", "12345"},
                                          {dir.path(), 700ms});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), noAnswer + "\n");
    EXPECT_EQ(status, cli::databaseFault);
}

TEST_F(ServerInterruption, ClosingTheWindowDuringAStalledCallDoesNotHang)
{
    start();
    window->show();
    const StoppedProcess stalled(backendPid());
    window->txtOrder->setText("12345");
    window->cmdLocate->click();
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(window->close());
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_FALSE(window->commandRunning());
    EXPECT_GT(JobRunner::unfinishedJobs(), jobsBefore) << "the stalled call is left to itself";
}

}  // namespace
