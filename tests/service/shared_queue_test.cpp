// Two instances of travcard serve on one journal of a PostgreSQL server,
// and a station beside them: one run per request id whichever instance is
// asked, a run followed and cancelled through the instance that did not
// accept it, a run taken by an instance that stops printed by the other, and
// one printer that never has two senders at once.

#include "exactly_once/printer_lease.h"
#include "tests/fixtures/shared_printer.h"
#include "tests/journal/journal_location.h"
#include "tests/service/service_fixture.h"

#include <gmock/gmock.h>

#include <array>

namespace {

class SharedQueue : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (ServiceProcess* instance : {&first, &second}) {
            instance->journalUri = journal.path().toStdString();
            ASSERT_NO_FATAL_FAILURE(instance->startService(printer.address(), "ZEBRA",
                                                           "SERVICE_PRINTERS=line=" + printer.address() +
                                                               "\nJOURNAL=" + instance->journalUri + "\n"));
        }
    }

    // Holds the printer's lease as another station would, until released.
    void holdPrinter()
    {
        const auto taken = byHand.takePrinterLease(printer.address(), "test", std::chrono::seconds(30));
        ASSERT_TRUE(std::holds_alternative<std::int64_t>(taken));
    }
    void releasePrinter() { byHand.releasePrinterLease(printer.address(), "test"); }

    static QJsonObject ask(const char* requestId) { return ServiceProcess::order(requestId, 1, "line"); }

    JournalLocation journal;
    Journal byHand{journal.path()};
    SharedPrinter printer;
    ServiceProcess first, second;
};

TEST_F(SharedQueue, OneRunPerRequestIdFollowedAndCancelledThroughEitherInstance)
{
    // The same id to both at once.
    std::array<ServiceProcess::Response, 2> answers;
    {
        QEventLoop loop;
        int owed = 2;
        for (std::size_t i = 0; i < 2; ++i) {
            ServiceProcess& instance = i == 0 ? first : second;
            QNetworkReply* reply = instance.network.post(instance.request("/v1/print"),
                                                         QJsonDocument(ask("SAME")).toJson(QJsonDocument::Compact));
            QObject::connect(reply, &QNetworkReply::finished, &loop, [&, i, reply] {
                answers[i] = ServiceProcess::responseOf(*reply);
                reply->deleteLater();
                if (--owed == 0)
                    loop.quit();
            });
        }
        QTimer::singleShot(30'000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    const qint64 run = answers[0].json["run"].toInteger();
    EXPECT_GT(run, 0);
    for (const ServiceProcess::Response& answer : answers) {
        EXPECT_THAT(answer.status, ::testing::AnyOf(200, 202));
        EXPECT_EQ(answer.json["run"].toInteger(), run);
    }
    EXPECT_THAT(second.ended(run)["outcome"].toString().toStdString(), ::testing::StartsWith("printed"));
    EXPECT_THAT(first.ended(run)["outcome"].toString().toStdString(), ::testing::StartsWith("printed"));

    // Accepted by one, followed to its end through the other.
    const ServiceProcess::Response accepted = first.post("/v1/print", ask("FOLLOWED"));
    ASSERT_EQ(accepted.status, 202);
    const QJsonObject followed = second.ended(accepted.json["run"].toInteger());
    EXPECT_THAT(followed["outcome"].toString().toStdString(), ::testing::StartsWith("printed"));
    EXPECT_EQ(followed["request_id"].toString(), "FOLLOWED");

    // While another station holds the printer each instance's worker takes
    // one run and waits for it; the third waits in the journal. The first
    // instance stops: its run waits in the journal again, for the second.
    ASSERT_NO_FATAL_FAILURE(holdPrinter());
    std::vector<qint64> runs;
    for (const char* id : {"WAITS-1", "WAITS-2", "WAITS-3"}) {
        const ServiceProcess::Response queued = first.post("/v1/print", ask(id));
        ASSERT_EQ(queued.status, 202);
        runs.push_back(queued.json["run"].toInteger());
    }
    for (ServiceProcess* instance : {&first, &second}) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!instance->call("GET", "/v1/printers/line/queue").json["printing"].isObject() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_TRUE(instance->call("GET", "/v1/printers/line/queue").json["printing"].isObject())
            << "an instance's worker took no run";
    }
    const ServiceProcess::Response cancelled = second.call("DELETE", QStringLiteral("/v1/runs/%1").arg(runs[2]));
    EXPECT_EQ(cancelled.status, 200) << QJsonDocument(cancelled.json).toJson().toStdString();
    EXPECT_EQ(first.terminate(), 0);
    // Not ended where it was given up, but handed on.
    EXPECT_THAT(first.log, ::testing::HasSubstr("went back to the shared queue"));
    EXPECT_THAT(first.log, ::testing::Not(::testing::HasSubstr(": stopped,")));
    releasePrinter();
    EXPECT_THAT(second.ended(runs[0])["outcome"].toString().toStdString(), ::testing::StartsWith("printed"));
    EXPECT_THAT(second.ended(runs[1])["outcome"].toString().toStdString(), ::testing::StartsWith("printed"));
    EXPECT_EQ(second.ended(runs[2])["outcome"].toString().toStdString(), "cancelled");

    // SAME, FOLLOWED, WAITS-1 and WAITS-2: four runs, one connection each.
    const std::vector<SharedPrinter::Connection> connections = printer.connections();
    EXPECT_EQ(connections.size(), 4u);
    EXPECT_THAT(printer.overlaps(), ::testing::IsEmpty());
    EXPECT_EQ(byHand.runs(100).size(), 5u);
}

// A station's travcard print and a service's run, both held back by a
// third holder of the printer and let go at once: one waits for the
// other's whole job, and the station says why it waits. A third print,
// asked to stop through the journal while it waits, ends printing nothing.
TEST_F(SharedQueue, StationAndServiceTakeThePrinterInTurn)
{
    ASSERT_NO_FATAL_FAILURE(holdPrinter());
    std::array<QProcess, 2> stations;
    for (std::size_t i = 0; i < stations.size(); ++i)
        startWithoutDisplay(stations[i], first.folder->file("travcard"),
                            {"print", "--location", "ST", "--order", "12345", "--request-id",
                             i == 0 ? "AT-STATION" : "CANCELLED-AT-STATION"},
                            first.folder->file("station-state"));
    QProcess& station = stations[0];
    const ServiceProcess::Response accepted = second.post("/v1/print", ask("AT-SERVICE"));
    ASSERT_EQ(accepted.status, 202);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(station.state(), QProcess::Running) << "the station did not wait for the printer";

    // Asked to stop once it says it waits.
    std::string toldByCancelled;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (toldByCancelled.find(printerBusyElsewhere) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        stations[1].waitForReadyRead(100);
        toldByCancelled += stations[1].readAllStandardError().toStdString();
    }
    const std::optional<RunRecord> waiting = byHand.runWithRequest("CANCELLED-AT-STATION");
    ASSERT_TRUE(waiting) << toldByCancelled;
    ASSERT_EQ(byHand.askStop(waiting->id), Journal::StopAsk::Asked);
    ASSERT_TRUE(stations[1].waitForFinished(15'000)) << "a run asked to stop went on waiting";
    toldByCancelled += stations[1].readAllStandardError().toStdString();
    EXPECT_THAT(toldByCancelled, ::testing::HasSubstr("Printing cancelled before any ticket was sent."));
    EXPECT_EQ(byHand.run(waiting->id)->outcome, "cancelled");
    releasePrinter();
    ASSERT_TRUE(station.waitForFinished(60'000));
    const std::string told = station.readAllStandardError().toStdString();
    EXPECT_EQ(station.exitCode(), 0) << told;
    EXPECT_THAT(told, ::testing::HasSubstr(printerBusyElsewhere));
    EXPECT_THAT(second.ended(accepted.json["run"].toInteger())["outcome"].toString().toStdString(),
                ::testing::StartsWith("printed"));

    const std::vector<SharedPrinter::Connection> connections = printer.connections();
    ASSERT_EQ(connections.size(), 2u);
    EXPECT_EQ(connections[0].bytes, connections[1].bytes) << "each connection holds one whole run";
    EXPECT_THAT(printer.overlaps(), ::testing::IsEmpty());
}

}  // namespace
