// travcard serve, the real program without a display, called over HTTP as
// an ERP calls it: its printers are loopback sockets and files, its journal
// a file of the test's own.

#include "tests/cli/sub_commands_fixture.h"
#include "tests/service/service_fixture.h"

#include <filesystem>

namespace {

class Service : public SubCommands, protected ServiceProcess {
protected:
    using ServiceProcess::ended;
};

// A run cut by a printer reset, polled, then finished by rest on another
// printer: that printer gets just the pages that were not confirmed, laid
// out as a run of their own starts, and a retry prints nothing.
TEST_F(Service, PrintPollAndRestAfterAReset)
{
    const auto pages = windowPages("50");
    LoopbackPrinter resets({.statusReply = {}, .closeAfter = 20'000});
    startService(dir.file("unused.out"), "EPSON",
                 "SERVICE_PRINTERS=dock=" + resets.address() + " spare=" + dir.file("spare.out") + "\n");
    const Response accepted = post("/v1/print", order("ERP 5101", 50, "dock"));
    ASSERT_EQ(accepted.status, 202) << accepted.json["message"].toString().toStdString();
    const qint64 run = accepted.json["run"].toInteger();
    EXPECT_EQ(accepted.json["url"].toString(), QStringLiteral("/v1/runs/%1").arg(run));

    const QJsonObject cut = ended(run);
    EXPECT_EQ(cut["outcome"].toString(), "failed");
    EXPECT_EQ(cut["reason"].toString(), "stopped");
    ASSERT_GT(cut["in_doubt"].toInt(), 0);

    const Response unsaid = post(QStringLiteral("/v1/runs/%1/rest").arg(run), {{"printer", "spare"}});
    EXPECT_EQ(unsaid.status, 409);
    EXPECT_EQ(unsaid.json["reason"].toString(), "in_doubt_unresolved");
    const Response rest =
        post(QStringLiteral("/v1/runs/%1/rest").arg(run), {{"printer", "spare"}, {"in_doubt", "print"}});
    ASSERT_EQ(rest.status, 202) << rest.json["message"].toString().toStdString();
    EXPECT_EQ(ended(rest.json["run"].toInteger())["outcome"].toString(), "printed");

    const std::size_t from = static_cast<std::size_t>(cut["sent"].toInt());
    std::string expected;
    for (std::size_t page = from; page < pages[0].size(); ++page)
        expected += pages[from % 2][page];
    EXPECT_EQ(dir.read("spare.out"), expected);
    std::string confirmed;
    for (std::size_t page = 0; page < from; ++page)
        confirmed += pages[0][page];
    EXPECT_EQ(resets.received().substr(0, confirmed.size()), confirmed) << "the confirmed pages arrived whole";

    const Response retry = post("/v1/print", order("ERP 5101", 50, "dock"));
    EXPECT_EQ(retry.status, 200);
    EXPECT_EQ(retry.json["reason"].toString(), "already_printed");
    EXPECT_EQ(terminate(), 0);
    EXPECT_NE(log.find("request_id ERP 5101"), std::string::npos) << log;
}

// What the service answers to calls it does not take, and that nothing is
// printed for any of them. A request id binds every field of its request; a
// padded id is the same id.
TEST_F(Service, RefusesWhatItDoesNotTakeAndPrintsNothing)
{
    startService(dir.file("printer.out"), "ZEBRA");
    const Response first = post("/v1/print", order("ERP 5201"));
    ASSERT_EQ(first.status, 202);
    const QJsonObject card{{"location", "ST"}, {"order", 12345},       {"operation", 20},  {"part", "P"},
                           {"nested_quantity", 1}, {"customer", "C"}, {"dept", "D"},      {"comment", "x"},
                           {"request_id", "N-5201"}};
    ASSERT_EQ(post("/v1/nested", card).status, 202);
    const auto cardWith = [&card](const char* field, const QJsonValue& value) {
        QJsonObject changed = card;
        changed[field] = value;
        return QJsonDocument(changed).toJson();
    };
    const QByteArray big(70'000, 'x');
    const struct {
        const char* name;
        QByteArray method;
        QString path;
        QByteArray body;
        QByteArray bearer;
        int status;
        const char* reason;
    } cases[] = {
        {"no token", "GET", "/v1/runs", {}, {}, 401, "unauthorized"},
        {"wrong token", "GET", "/v1/runs", {}, "0123456789abcdef-xyz", 401, "unauthorized"},
        {"id of another order", "POST", "/v1/print", R"({"location":"ST","order":"12346","request_id":"ERP 5201"})",
         token, 422, "request_conflict"},
        {"id of another printer type", "POST", "/v1/print",
         R"({"location":"ST","order":"12345","type":"epson","request_id":"ERP 5201"})", token, 422, "request_conflict"},
        {"card's id, another part", "POST", "/v1/nested", cardWith("part", "Q"), token, 422, "request_conflict"},
        {"card's id, another nested quantity", "POST", "/v1/nested", cardWith("nested_quantity", 2), token, 422,
         "request_conflict"},
        {"card's id, another customer", "POST", "/v1/nested", cardWith("customer", "C2"), token, 422,
         "request_conflict"},
        {"card's id, another dept", "POST", "/v1/nested", cardWith("dept", "D2"), token, 422, "request_conflict"},
        {"card's id, another comment", "POST", "/v1/nested", cardWith("comment", "y"), token, 422,
         "request_conflict"},
        {"card's id for travel cards", "POST", "/v1/print",
         R"({"location":"ST","order":"12345","operation":20,"request_id":"N-5201"})", token, 422, "request_conflict"},
        {"a blank request id", "POST", "/v1/print", R"({"location":"ST","order":"12345","request_id":" "})", token,
         400, "bad_request_id"},
        {"a zero-width space in the request id", "POST", "/v1/print", QJsonDocument(order("a\u200Bb")).toJson(), token,
         400, "bad_request_id"},
        {"a right-to-left override in the request id", "POST", "/v1/print", QJsonDocument(order("a\u202Eb")).toJson(),
         token, 400, "bad_request_id"},
        {"not JSON", "POST", "/v1/print", R"({"location":)", token, 400, "bad_option"},
        {"quantity not whole", "POST", "/v1/print", R"({"location":"ST","order":"12345","quantity":2.5,"request_id":"a"})",
         token, 400, "bad_quantity"},
        {"quantity as text", "POST", "/v1/print", R"({"location":"ST","order":"12345","quantity":"3","request_id":"a"})",
         token, 400, "bad_quantity"},
        {"a path as printer", "POST", "/v1/print",
         R"({"location":"ST","order":"12345","printer":"/etc/passwd","request_id":"a"})", token, 400, "unknown_printer"},
        {"no request id", "POST", "/v1/print", R"({"location":"ST","order":"12345"})", token, 400, "bad_request_id"},
        {"a null request id", "POST", "/v1/print", R"({"location":"ST","order":"12345","request_id":null})", token,
         400, "bad_request_id"},
        {"a line break in the request id", "POST", "/v1/print",
         R"({"location":"ST","order":"12345","request_id":"x\nrun 1 printed"})", token, 400, "bad_request_id"},
        {"empty order", "POST", "/v1/print", R"({"location":"ST","order":" ","request_id":"a"})", token, 400,
         "bad_option"},
        {"body over 64 KB", "POST", "/v1/print", big, token, 413, "too_large"},
        {"nested card of all operations", "POST", "/v1/nested",
         R"({"location":"ST","order":"12345","part":"P","nested_quantity":1,"request_id":"b"})", token, 400,
         "bad_option"},
        {"nested card to an EPSON printer", "POST", "/v1/nested",
         R"({"location":"ST","order":"12345","operation":20,"part":"P","nested_quantity":1,"type":"epson",)"
         R"("request_id":"c"})",
         token, 400, "wrong_printer_type"},
        {"rest without a run", "POST", "/v1/runs/999/rest", "{}", token, 404, "not_found"},
        {"unknown path", "GET", "/v1/orders", {}, token, 404, "not_found"},
        {"run that is not a number", "GET", "/v1/runs/x1", {}, token, 404, "not_found"},
        {"wrong method", "GET", "/v1/print", {}, token, 405, "method_not_allowed"},
        {"unknown run", "GET", "/v1/runs/999", {}, token, 404, "not_found"},
    };
    for (const auto& refused : cases) {
        const Response answer = call(refused.method, refused.path, refused.body, refused.bearer);
        EXPECT_EQ(answer.status, refused.status) << refused.name;
        EXPECT_EQ(answer.json["reason"].toString().toStdString(), refused.reason) << refused.name;
        EXPECT_FALSE(answer.json["message"].toString().isEmpty()) << refused.name;
    }
    const Response padded = post("/v1/print", order(" ERP 5201\t"));
    EXPECT_TRUE(padded.status == 200 || padded.status == 202) << padded.status;
    EXPECT_EQ(padded.json["run"].toInteger(), first.json["run"].toInteger());
    EXPECT_EQ(post("/v1/print", order("ERP \U0001F5A8 5202")).status, 202) << "an emoji is printable";
    EXPECT_EQ(serviceJournal().runs().size(), 3u);
    EXPECT_EQ(terminate(), 0);
    EXPECT_EQ(log.find("\nrun 1 printed"), std::string::npos) << "a caller's text forged a line of the log";
}

// The nested-part card, and a reprint of it, are the bytes the command line
// prints. A reprint with a request id is made once, however often it is asked.
TEST_F(Service, NestedCardAndItsReprintAreTheCommandLinesBytes)
{
    const QStringList nested = QStringList{"nested"} + order12345 +
                               QStringList{"--operation", "20", "--quantity", "2", "--part", "P-7", "--nested-quantity",
                                           "3", "--customer", "ACME", "--dept", "D4", "--comment", "rush"};
    ASSERT_EQ(travcard(nested).status, 0);
    const std::string card = programDir->read("default.out");
    startService(dir.file("printer.out"), "ZEBRA");
    const QJsonObject body{{"location", "ST"},     {"order", 12345},         {"operation", 20},
                           {"quantity", 2},        {"part", "P-7"},          {"nested_quantity", 3},
                           {"customer", "ACME"},   {"dept", "D4"},           {"comment", "rush"},
                           {"request_id", "N-1"}};
    const Response accepted = post("/v1/nested", body);
    ASSERT_EQ(accepted.status, 202) << accepted.json["message"].toString().toStdString();
    const qint64 run = accepted.json["run"].toInteger();
    ASSERT_EQ(ended(run)["outcome"].toString(), "printed");
    EXPECT_EQ(dir.read("printer.out"), card);
    const QString reprint = QStringLiteral("/v1/runs/%1/reprint").arg(run);
    const QJsonObject twoCopies{{"tickets", QJsonArray{1}}, {"copies", 2}, {"request_id", "R-1"}};
    const Response again = post(reprint, twoCopies);
    ASSERT_EQ(again.status, 202) << again.json["message"].toString().toStdString();
    EXPECT_EQ(ended(again.json["run"].toInteger())["outcome"].toString(), "printed");
    EXPECT_EQ(dir.read("printer.out"), card);
    EXPECT_EQ(serviceJournal().run(again.json["run"].toInteger())->user, "erp");

    std::filesystem::remove(dir.file("printer.out"));
    const Response retried = post(reprint, twoCopies);
    EXPECT_EQ(retried.status, 200);
    EXPECT_EQ(retried.json["reason"].toString(), "already_printed");
    EXPECT_EQ(retried.json["run"].toInteger(), again.json["run"].toInteger());
    // The id is bound to the run, the tickets and the copies.
    for (const QJsonObject& other : {QJsonObject{{"tickets", QJsonArray{1}}, {"request_id", "N-1"}},
                                     QJsonObject{{"tickets", QJsonArray{1}}, {"copies", 3}, {"request_id", "R-1"}}})
        EXPECT_EQ(post(reprint, other).status, 422) << QJsonDocument(other).toJson().toStdString();
    EXPECT_EQ(serviceJournal().runs().size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(dir.file("printer.out")));
}

// Runs to two printers go side by side: each started before the other ended.
TEST_F(Service, TwoPrintersPrintSideBySide)
{
    LoopbackPrinter left({.statusReply = {}, .bytesPerSecond = 150'000});
    LoopbackPrinter right({.statusReply = {}, .bytesPerSecond = 150'000});
    startService(dir.file("unused.out"), "EPSON",
                 "SERVICE_PRINTERS=left=" + left.address() + " right=" + right.address() + "\n");
    const qint64 first = post("/v1/print", order("ERP 5301", 2, "left")).json["run"].toInteger();
    const qint64 second = post("/v1/print", order("ERP 5302", 2, "right")).json["run"].toInteger();
    ASSERT_EQ(ended(first)["outcome"].toString(), "printed");
    ASSERT_EQ(ended(second)["outcome"].toString(), "printed");
    Journal journal = serviceJournal();
    const RunRecord a = *journal.run(first), b = *journal.run(second);
    EXPECT_LT(b.started, a.ended);
    EXPECT_LT(a.started, b.ended);
    EXPECT_EQ(left.received(), right.received());
}

// Checks that wait on a printer (or the database) have threads of their
// own: a print sent while four of them wait on a silent printer is taken
// before any of them is answered.
TEST_F(Service, APrintIsTakenWhileStatusChecksWaitOnASilentPrinter)
{
    LoopbackPrinter silent({.statusReply = {}, .manyJobs = true});
    startService(dir.file("printer.out"), "ZEBRA", "SERVICE_PRINTERS=silent=" + silent.address() + "\n");
    std::vector<std::unique_ptr<QNetworkReply>> checks;
    for (int check = 0; check < 4; ++check)
        checks.emplace_back(network.get(request("/v1/printers/silent/status")));
    QEventLoop settle;
    QTimer::singleShot(200, &settle, &QEventLoop::quit);  // the checks reach the service first
    settle.exec();
    EXPECT_EQ(post("/v1/print", order("ERP 5600")).status, 202);
    for (const auto& check : checks)
        EXPECT_FALSE(check->isFinished());
}

// A printer's queue holds 64 runs besides the one printing; the next is
// told to come back later, and nothing of it is recorded. A retry of a
// request it took is still told its run.
TEST_F(Service, AFullQueueAnswers503)
{
    LoopbackPrinter slow({.statusReply = {}, .bytesPerSecond = 2'000, .manyJobs = true});
    startService(slow.address(), "EPSON");
    const Response printing = post("/v1/print", order("ERP 5400"));
    ASSERT_EQ(printing.status, 202);
    const QString reprint = QStringLiteral("/v1/runs/%1/reprint").arg(printing.json["run"].toInteger());
    const QJsonObject reprintAsk{{"tickets", QJsonArray{1}}, {"request_id", "ERP 54-R"}};
    const Response reprinting = post(reprint, reprintAsk);
    ASSERT_EQ(reprinting.status, 202);
    for (int waiting = 2; waiting <= 64; ++waiting)
        ASSERT_EQ(post("/v1/print", order(("ERP 54-" + std::to_string(waiting)).c_str())).status, 202) << waiting;
    const Response full = post("/v1/print", order("ERP 5499"));
    EXPECT_EQ(full.status, 503);
    EXPECT_EQ(full.json["reason"].toString(), "queue_full");
    EXPECT_FALSE(full.retryAfter.isEmpty());
    EXPECT_FALSE(serviceJournal().runWithRequest("ERP 5499"));

    const Response retried = post("/v1/print", order("ERP 54-64"));
    EXPECT_EQ(retried.status, 202);
    EXPECT_EQ(retried.json["run"].toInteger(), serviceJournal().runWithRequest("ERP 54-64")->id);
    const Response reprintRetried = post(reprint, reprintAsk);
    EXPECT_EQ(reprintRetried.status, 202);
    EXPECT_EQ(reprintRetried.json["run"].toInteger(), reprinting.json["run"].toInteger());
    EXPECT_EQ(post(reprint, {{"tickets", QJsonArray{1}}, {"request_id", "ERP 54-S"}}).status, 503);
}

// SIGTERM stops the run after the page being sent: the printer has whole
// pages, as many as the journal confirmed, and the run waiting behind it
// gives its request id back.
TEST_F(Service, SigtermStopsAfterTheCurrentPageAndTheJournalAgrees)
{
    ASSERT_EQ(travcard(QStringList{"print"} + order12345 +
                       QStringList{"--type", "epson", "--quantity", "20", "--printer",
                                   QString::fromStdString(dir.file("whole.out"))})
                  .status,
              0);
    LoopbackPrinter slow({.statusReply = {}, .bytesPerSecond = 100'000, .manyJobs = true});
    startService(slow.address(), "EPSON");
    const qint64 run = post("/v1/print", order("ERP 5501", 20)).json["run"].toInteger();
    const qint64 behind = post("/v1/print", order("ERP 5502", 20)).json["run"].toInteger();
    for (int polls = 0; polls < 200 && call("GET", QStringLiteral("/v1/runs/%1").arg(run)).json["sent"].toInt() < 2;
         ++polls)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(terminate(), 0) << log;

    Journal journal = serviceJournal();
    const RunRecord stopped = *journal.run(run);
    EXPECT_EQ(stopped.outcome, "cancelled");
    EXPECT_EQ(stopped.inDoubt, 0);
    const std::vector<std::string> whole = pagesOf(dir.read("whole.out"));
    ASSERT_LT(stopped.confirmed, static_cast<int>(whole.size())) << "the run ended before the signal";
    std::string expected;
    for (int page = 0; page < stopped.confirmed; ++page)
        expected += whole[static_cast<std::size_t>(page)];
    const std::vector<std::string> jobs = slow.jobs(1);
    ASSERT_EQ(jobs.size(), 1u) << "the run behind was not started";
    EXPECT_EQ(jobs[0], expected);
    const RunRecord released = *journal.run(behind);
    EXPECT_EQ(released.outcome, "failed");
    EXPECT_FALSE(journal.runWithRequest("ERP 5502")) << "its request id is free again";
}

TEST_F(Service, AnswersOverTlsWithItsCertificate)
{
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                              "-keyout", QString::fromStdString(dir.file("key.pem")), "-out",
                              QString::fromStdString(dir.file("cert.pem"))});
    ASSERT_TRUE(openssl.waitForFinished(60'000));
    ASSERT_EQ(openssl.exitCode(), 0);
    startService(dir.file("printer.out"), "ZEBRA",
                 "SERVICE_CERT=" + dir.file("cert.pem") + "\nSERVICE_KEY=" + dir.file("key.pem") + "\n");
    scheme = "https";
    EXPECT_EQ(call("GET", "/v1/health").status, 200);
}

TEST_F(Service, RefusesToListenBeyondThisMachineWithoutTls)
{
    folder = std::make_unique<ScratchDir>();
    folder->write("tokens", std::string("erp ") + token + "\n");
    installProgram(*folder, "PRINTER=" + dir.file("printer.out") + "\nPRTTYPE=ZEBRA\nSERVICE_TOKENS=" +
                                folder->file("tokens") + "\nSERVICE_LISTEN=0.0.0.0:0\n");
    QProcess program;
    startWithoutDisplay(program, folder->file("travcard"), {"serve"}, dir.path());
    ASSERT_TRUE(program.waitForFinished(30'000));
    EXPECT_EQ(program.exitCode(), 1);
    EXPECT_THAT(program.readAllStandardError().toStdString(),
                ::testing::HasSubstr("without TLS: set SERVICE_CERT= and SERVICE_KEY="));
}

}  // namespace
