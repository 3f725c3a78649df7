// The status page of travcard serve in a real browser: Debian's chromium,
// headless, driven by page.mjs through playwright-core, against the real
// service with printers on loopback and an order whose ERP text is markup.

#include "tests/fixtures/journal_by_hand.h"
#include "tests/fixtures/loopback_printer.h"
#include "tests/service/service_fixture.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>

#include <filesystem>

namespace {

constexpr const char* markupPart = "<img src=x onerror=alert(1)>";
constexpr const char* markupDescription = "<script>alert(2)</script>";

// Where install-deps puts playwright-core (tests/page/install-modules).
std::string pageModules()
{
    if (const char* folder = std::getenv("TRAVCARD_PAGE_MODULES_DIR"))
        return std::string(folder) + "/node_modules";
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    const std::string base = cache && *cache ? cache : std::string(home ? home : "") + "/.cache";
    return base + "/travcard/page-test/node_modules";
}

struct Browser {
    QString node;
    QString chromium;
    std::string missing;  // empty when node, chromium and playwright-core are all there
};

Browser findBrowser()
{
    Browser found{QStandardPaths::findExecutable("node"),
                  QString::fromLocal8Bit(qgetenv("TRAVCARD_CHROMIUM").isEmpty() ? "/usr/bin/chromium"
                                                                                 : qgetenv("TRAVCARD_CHROMIUM")),
                  {}};
    if (found.node.isEmpty())
        found.missing = "node is not installed";
    else if (!std::filesystem::exists(found.chromium.toStdString()))
        found.missing = found.chromium.toStdString() + " is not installed";
    else if (!std::filesystem::exists(pageModules() + "/playwright-core"))
        found.missing = "playwright-core is not in " + pageModules();
    return found;
}

class StatusPage : public ::testing::Test, protected ServiceProcess {
protected:
    // A copy of the test database where order ST 12345's part is markup, and
    // its first operation's description; the service reads it through ODBCINI.
    void useMarkupOrders()
    {
        const std::string database = data.file("orders.sqlite");
        std::filesystem::copy_file(odbcFolder() + "/test.sqlite", database);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "markup");
            db.setDatabaseName(QString::fromStdString(database));
            ASSERT_TRUE(db.open());
            QSqlQuery query(db);
            // The part is longer than its column's check allows; the ERP's own rules are not ours to rely on.
            ASSERT_TRUE(query.exec("PRAGMA ignore_check_constraints = ON"));
            for (const char* update : {"UPDATE ITMMAS_BASE SET ID_ITEM = ? WHERE ID_ITEM = 'WIDGET-100'",
                                       "UPDATE SHPORD_HDR SET ID_ITEM_PAR = ? WHERE ID_ITEM_PAR = 'WIDGET-100'"}) {
                query.prepare(update);
                query.addBindValue(markupPart);
                ASSERT_TRUE(query.exec());
            }
            query.prepare("UPDATE SHPORD_OPER SET DESCR_OPER_1 = ? WHERE ID_SO = '    12345' AND ID_LOC = 'ST' AND "
                          "SUFX_SO = 0 AND ID_OPER = 10");
            query.addBindValue(QString(markupDescription).leftJustified(30));
            ASSERT_TRUE(query.exec());
        }
        QSqlDatabase::removeDatabase("markup");
        std::ifstream sqliteIni(odbcFolder() + "/sqlite.ini");
        const std::string ini{std::istreambuf_iterator<char>(sqliteIni), std::istreambuf_iterator<char>()};
        data.write("orders.ini", std::regex_replace(ini, std::regex("Database=[^\\r\\n]*"), "Database=" + database));
        qputenv("ODBCINI", QByteArray::fromStdString(data.file("orders.ini")));
    }

    ScratchDir data;
};

// Signed in, the operator sees the printers and the runs, cancels the run
// that waits behind the printing one, prints the rest of a run a printer
// reset cut, choosing to print its tickets in doubt, and reprints two of its
// tickets; the ERP's markup shows as text and runs nothing, and the console
// stays clean. The journal agrees. A run of another station shows only
// with All stations.
TEST_F(StatusPage, SignInCancelPrintTheRestAndReprint)
{
    const Browser browser = findBrowser();
    if (!browser.missing.empty()) {
        if (!qgetenv("TRAVCARD_REQUIRE_BROWSER").isEmpty())
            FAIL() << browser.missing << " (scripts/install-deps installs it)";
        GTEST_SKIP() << "No browser to test the status page in: " << browser.missing;
    }
    useMarkupOrders();
    LoopbackPrinter slow({.statusReply = {}, .bytesPerSecond = 2'000, .manyJobs = true});
    LoopbackPrinter resets({.statusReply = {}, .closeAfter = 20'000});
    startService(data.file("default.out"), "EPSON",
                 "SERVICE_PRINTERS=line=" + slow.address() + " dock=" + resets.address() +
                     " spare=" + data.file("spare.out") + "\n");
    const Response cutRun = post("/v1/print", order("PAGE 1", 50, "dock"));
    ASSERT_EQ(cutRun.status, 202) << cutRun.json["message"].toString().toStdString();
    const qint64 stopped = cutRun.json["run"].toInteger();
    const QJsonObject cutEnded = ended(stopped);
    ASSERT_GT(cutEnded["in_doubt"].toInt(), 0) << QJsonDocument(cutEnded).toJson().toStdString() << log;
    const qint64 printing = post("/v1/print", order("PAGE 2", 20, "line")).json["run"].toInteger();
    const Response waiting = post("/v1/print", order("PAGE 3", 1, "line"));
    ASSERT_EQ(waiting.status, 202);
    const qint64 queued = waiting.json["run"].toInteger();
    journalByHand(journalFile(), {"INSERT INTO runs (started, ended, planned, confirmed, outcome, shop_order, station)"
                                  " VALUES (1700000000000, 1700000000001, 1, 1, 'printed', '99999', 'line 3')"});
    const qint64 elsewhere = serviceJournal().runs(1, {}, 0, 0, "line 3").at(0).id;

    QProcess node;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const auto set = [&environment](const char* name, const auto& value) {
        environment.insert(name, QVariant(value).toString());
    };
    set("NODE_PATH", QString::fromStdString(pageModules()));
    set("CHROMIUM", browser.chromium);
    set("PAGE_URL", QStringLiteral("http://127.0.0.1:%1/").arg(port));
    set("PAGE_TOKEN", QString(token));
    set("PAGE_PRINTING_RUN", printing);
    set("PAGE_PRINTING_PRINTER", QStringLiteral("line"));
    set("PAGE_QUEUED_RUN", queued);
    set("PAGE_STOPPED_RUN", stopped);
    set("PAGE_OTHER_STATION_RUN", elsewhere);
    set("PAGE_REST_PRINTER", QStringLiteral("spare"));
    set("PAGE_MARKUP", QString(markupPart) + '\n' + markupDescription);
    node.setProcessEnvironment(environment);
    node.start(browser.node, {TRAVCARD_PAGE_SCRIPT});
    ASSERT_TRUE(node.waitForFinished(180'000)) << "the browser test did not end";
    const QByteArray said = node.readAllStandardOutput(), failed = node.readAllStandardError();
    ASSERT_EQ(node.exitCode(), 0) << failed.toStdString() << said.toStdString();

    Journal journal = serviceJournal();
    EXPECT_EQ(journal.run(queued)->outcome, "cancelled");
    const qint64 restRun = QJsonDocument::fromJson(said).object()["rest_run"].toInteger();
    const std::optional<RunRecord> rest = journal.run(restRun);
    ASSERT_TRUE(rest) << said.toStdString();
    const RunRecord cut = *journal.run(stopped);
    EXPECT_EQ(rest->source, "Print the Rest of run " + std::to_string(stopped));
    EXPECT_EQ(rest->outcome, "printed");
    EXPECT_EQ(rest->planned, cut.planned - cut.confirmed) << "the rest printed the tickets in doubt too";
    EXPECT_EQ(rest->confirmed, rest->planned);
    const qint64 reprintRun = QJsonDocument::fromJson(said).object()["reprint_run"].toInteger();
    const std::optional<RunRecord> reprint = journal.run(reprintRun);
    ASSERT_TRUE(reprint);
    EXPECT_EQ(reprint->source, "Reprint of run " + std::to_string(restRun) + ", tickets 1-2, 1 copy");
    EXPECT_EQ(reprint->outcome, "printed");
    EXPECT_EQ(reprint->planned, 2) << "the two tickets chosen, once each";
}

}  // namespace
