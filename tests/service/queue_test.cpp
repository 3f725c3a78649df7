// travcard serve's queues as a caller and the plant's IT see them: runs
// cancelled over HTTP and from another shell, the printers with their
// queues, and the runs in pages.

#include "tests/fixtures/loopback_printer.h"
#include "tests/service/service_fixture.h"

#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUrlQuery>

#include <set>

using namespace std::chrono_literals;

namespace {

class ServiceQueue : public ::testing::Test, protected ServiceProcess {
protected:
    QJsonObject queued(const char* requestId, int quantity)
    {
        const Response accepted = post("/v1/print", order(requestId, quantity));
        EXPECT_EQ(accepted.status, 202);
        return accepted.json;
    }

    // Waits until the run has sent a ticket.
    void waitUntilSending(qint64 run)
    {
        for (int polls = 0; polls < 200 && call("GET", QStringLiteral("/v1/runs/%1").arg(run)).json["sent"].toInt() < 1;
             ++polls)
            std::this_thread::sleep_for(50ms);
    }
};

// One run prints on a slow printer with three behind it. The printers and
// the queue show them; the queued ones are cancelled over HTTP and from
// another shell and print nothing, keeping their request ids; the printing
// ones stop after whole pages, over HTTP and through the journal.
TEST_F(ServiceQueue, QueuedAndPrintingRunsAreCancelledOverHttpAndFromAnotherShell)
{
    LoopbackPrinter slow({.statusReply = {}, .bytesPerSecond = 20'000, .manyJobs = true});
    startService(slow.address(), "EPSON");
    const qint64 printing = queued("ERP 6001", 20)["run"].toInteger();
    const qint64 cancelledHere = queued("ERP 6002", 1)["run"].toInteger();
    const qint64 cancelledFromShell = queued("ERP 6003", 1)["run"].toInteger();
    const qint64 last = queued("ERP 6004", 20)["run"].toInteger();
    waitUntilSending(printing);

    const QJsonObject printer = call("GET", "/v1/printers").json["printers"].toArray().at(0).toObject();
    EXPECT_EQ(printer["name"].toString(), "default");
    EXPECT_EQ(printer["type"].toString(), "epson");
    EXPECT_EQ(printer["destination"].toObject(), (QJsonObject{{"kind", "socket"}, {"host", "127.0.0.1"}}));
    EXPECT_EQ(printer["queued"].toInt(), 3);
    EXPECT_EQ(printer["printing"].toObject()["run"].toInteger(), printing);
    const QJsonObject queue = call("GET", "/v1/printers/default/queue").json;
    EXPECT_EQ(queue["printing"].toObject()["run"].toInteger(), printing);
    std::vector<qint64> waiting;
    for (const QJsonValue run : queue["runs"].toArray())
        waiting.push_back(run.toObject()["run"].toInteger());
    EXPECT_EQ(waiting, (std::vector<qint64>{cancelledHere, cancelledFromShell, last}));
    EXPECT_EQ(call("GET", "/v1/printers/nowhere/queue").status, 404);
    const QJsonArray listed = call("GET", "/v1/runs?limit=2").json["runs"].toArray();
    EXPECT_EQ(listed.at(0).toObject()["outcome"].toString(), "queued") << "the newest run waits";

    const Response cancelled = call("DELETE", QStringLiteral("/v1/runs/%1").arg(cancelledHere));
    EXPECT_EQ(cancelled.status, 200);
    EXPECT_EQ(cancelled.json["outcome"].toString(), "cancelled");
    const Response retried = post("/v1/print", order("ERP 6002", 1));
    EXPECT_EQ(retried.status, 200);
    EXPECT_EQ(retried.json["reason"].toString(), "cancelled");
    EXPECT_EQ(retried.json["run"].toInteger(), cancelledHere);

    const auto [fromShell, shellJson] =
        station({"cancel", "--run", QString::number(cancelledFromShell), "--wait", "20", "--json"});
    EXPECT_EQ(fromShell, 0) << shellJson << log;
    EXPECT_NE(shellJson.find("\"reason\":\"cancelled\""), std::string::npos) << shellJson;

    const Response stopping = call("DELETE", QStringLiteral("/v1/runs/%1").arg(printing));
    EXPECT_EQ(stopping.status, 202);
    EXPECT_EQ(ended(printing)["outcome"].toString(), "cancelled");
    EXPECT_EQ(call("DELETE", QStringLiteral("/v1/runs/%1").arg(printing)).json["reason"].toString(), "run_ended");
    EXPECT_EQ(call("DELETE", "/v1/runs/9999").status, 404);

    waitUntilSending(last);
    const auto [lastStopped, lastJson] = station({"cancel", "--run", QString::number(last), "--json"});
    EXPECT_EQ(lastStopped, 0) << lastJson;
    EXPECT_EQ(ended(last)["outcome"].toString(), "cancelled");

    Journal journal = serviceJournal();
    for (const qint64 run : {printing, last}) {
        const RunRecord stopped = *journal.run(run);
        EXPECT_GT(stopped.confirmed, 0);
        EXPECT_LT(stopped.confirmed, stopped.planned) << "run " << run << " ended before it was cancelled";
        EXPECT_EQ(stopped.inDoubt, 0);
    }
    for (const char* id : {"ERP 6002", "ERP 6003"}) {
        const std::optional<RunRecord> kept = journal.runWithRequest(id);
        ASSERT_TRUE(kept) << id << " gave its request id back";
        EXPECT_EQ(kept->outcome, "cancelled");
        EXPECT_EQ(kept->planned, 0);
    }
    EXPECT_EQ(slow.jobs(2).size(), 2u) << "only the two runs that printed reached the printer";
}

// 1,200 runs of one order at another station, listed 500 at a time: each
// page goes on where the last ended, keeps the filters, and the last has no
// next. Without station, a caller is given every station's runs.
TEST_F(ServiceQueue, RunsArePagedThroughWithNext)
{
    ScratchDir printerDir;
    startService(printerDir.file("printer.out"), "ZEBRA");
    {
        static_cast<void>(serviceJournal());
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "paging");
        db.setDatabaseName(QString::fromStdString(journalFile()));
        ASSERT_TRUE(db.open());
        QSqlQuery insert(db);
        ASSERT_TRUE(insert.exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1200)"
                                " INSERT INTO runs (started, ended, planned, outcome, shop_order, station)"
                                " SELECT 1700000000000 + i, 1700000000001 + i, 1, 'printed', '77777', 'line 3'"
                                " FROM n"));
        insert.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase("paging");

    std::vector<qint64> listed;
    QString next = "/v1/runs?order=77777&station=line%203&limit=500";
    for (int pages = 0; !next.isEmpty() && pages < 5; ++pages) {
        const Response page = call("GET", next);
        ASSERT_EQ(page.status, 200) << next.toStdString();
        for (const QJsonValue run : page.json["runs"].toArray())
            listed.push_back(run.toObject()["run"].toInteger());
        next = page.json["next"].toString();
        if (!next.isEmpty()) {
            EXPECT_EQ(QUrlQuery(QUrl(next).query()).queryItemValue("order"), "77777");
            EXPECT_EQ(QUrlQuery(QUrl(next).query()).queryItemValue("station", QUrl::FullyDecoded), "line 3");
        }
    }
    EXPECT_EQ(listed.size(), 1200u);
    EXPECT_TRUE(std::is_sorted(listed.rbegin(), listed.rend()));
    EXPECT_EQ(std::set<qint64>(listed.begin(), listed.end()).size(), listed.size());
    for (const char* other : {"/v1/runs?station=elsewhere", "/v1/runs?order=77777&station=line"})
        EXPECT_EQ(call("GET", other).json["runs"].toArray().size(), 0) << other;
    EXPECT_EQ(call("GET", "/v1/runs?limit=1").json["runs"][0]["station"], "line 3");
    EXPECT_EQ(call("GET", "/v1/runs?limit=1&station=all").json["runs"][0]["station"], "line 3");
    for (const char* wrong : {"/v1/runs?limit=0", "/v1/runs?limit=501", "/v1/runs?before=x", "/v1/runs?station="})
        EXPECT_EQ(call("GET", wrong).json["reason"].toString(), "bad_option") << wrong;
}

}  // namespace
