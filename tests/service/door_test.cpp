// The door of travcard serve: requests as its parser reads them, whole or a
// byte at a time, and the real program called over plain sockets from
// loopback addresses of the test's choosing. Built three times: the quick
// tests; DOOR_TESTS_SLOW, the ones that take a minute; DOOR_TESTS_POSTGRESQL,
// health while the PostgreSQL server hangs.

#include "service/http_request.h"
#include "tests/fixtures/loopback_printer.h"
#include "tests/fixtures/postgres_server.h"
#include "tests/service/service_fixture.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ::testing::HasSubstr;

class Door : public ::testing::Test, protected ServiceProcess {
protected:
    // A connection for each request, from the addresses in turn, each request sent at once.
    std::vector<std::unique_ptr<RawCaller>> sendFromEach(const std::vector<std::string>& requests,
                                                         const std::vector<const char*>& from)
    {
        std::vector<std::unique_ptr<RawCaller>> callers;
        for (std::size_t i = 0; i < requests.size(); ++i) {
            callers.push_back(std::make_unique<RawCaller>(port, from[i % from.size()]));
            EXPECT_TRUE(callers.back()->send(requests[i])) << i;
        }
        return callers;
    }

    RawCaller::Answer ask(const std::string& request, const char* from = "127.0.0.1",
                          std::chrono::milliseconds timeout = 10s)
    {
        RawCaller caller(port, from);
        caller.send(request);
        return caller.answer(timeout);
    }

    ScratchDir dir;
};

#if !defined(DOOR_TESTS_SLOW) && !defined(DOOR_TESTS_POSTGRESQL)

// A print request a door that misreads the framing would take from the
// bytes after a request's true end.
const std::string smuggled =
    ServiceProcess::rawRequest("POST", "/v1/print", R"({"location":"ST","order":"12345","request_id":"smuggled"})");

// count blocks of 8 KB, each holding the smuggled request and ending in CRLFCRLF.
std::string smugglingBlocks(int count)
{
    std::string block(8192 - 4, 'x');
    block.replace(0, smuggled.size(), smuggled);
    block += "\r\n\r\n";
    std::string blocks;
    for (int i = 0; i < count; ++i)
        blocks += block;
    return blocks;
}

std::string printHead(const std::string& fields)
{
    return "POST /v1/print HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + std::string(ServiceProcess::token) +
           "\r\n" + fields + "\r\n";
}

// Header lines X-Field-1: 1 ... up to count.
std::string fillerFields(int count)
{
    std::string fields;
    for (int i = 1; i <= count; ++i)
        fields += "X-Field-" + std::to_string(i) + ": " + std::to_string(i) + "\r\n";
    return fields;
}

// GET /v1/health in fields header fields, the token the last of them.
std::string healthWithFields(int fields)
{
    return "GET /v1/health HTTP/1.1\r\nHost: 127.0.0.1\r\n" + fillerFields(fields - 2) +
           "Authorization: Bearer " + ServiceProcess::token + "\r\n\r\n";
}

using service::RequestReader;

// What the reader makes of request when its bytes come step at a time, as
// the door feeds it: bytes it did not take are fed again with those after.
// The refusal's status, or 0 once a request was read whole.
int statusRead(std::string_view request, std::size_t step)
{
    RequestReader reader{service::HttpLimits{}};
    std::string pending;
    for (std::size_t at = 0; at < request.size(); at += step) {
        pending.append(request.substr(at, step));
        pending.erase(0, reader.feed(pending));
        if (reader.state() == RequestReader::State::Refused)
            return reader.refusal().status;
        if (reader.state() == RequestReader::State::Complete)
            return 0;
    }
    return -1;  // still waiting for more
}

TEST(RequestReader, RefusesAmbiguousFramingAndOversizedRequests)
{
    const std::string body = R"({"location":"ST","order":"12345","request_id":"a"})";
    const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
    const struct {
        const char* name;
        std::string request;
        int status;  // 0: read whole
    } cases[] = {
        {"well framed", printHead(length) + body, 0},
        {"a body of 64 KB", printHead("Content-Length: 65536\r\n") + std::string(65536, ' '), 0},
        {"100 header fields", healthWithFields(100), 0},
        {"lines ended by bare LFs, then CRLFCRLF in the body",
         "POST /v1/print HTTP/1.1\nHost: 127.0.0.1\nContent-Length: 60000000\n\n" + smugglingBlocks(2), 400},
        {"the block ended by a bare LF", printHead(length).substr(0, printHead(length).size() - 2) + "\n" + body, 400},
        {"a bare CR", printHead("X-Note: a\rX-Other: b\r\n" + length) + body, 400},
        {"two Content-Length", printHead("Content-Length: 10\r\nContent-Length: 60000000\r\n") + smuggled, 400},
        {"two equal Content-Length", printHead(length + length) + body, 400},
        {"Content-Length not a number", printHead("Content-Length: 1x\r\n") + body, 400},
        {"a negative Content-Length", printHead("Content-Length: -1\r\n") + body, 400},
        {"Content-Length past 64 bits", printHead("Content-Length: 99999999999999999999999\r\n"), 400},
        {"Content-Length and chunked",
         printHead("Content-Length: 5\r\nTransfer-Encoding: chunked\r\n") + "0\r\n\r\n" + smuggled, 400},
        {"chunked alone", printHead("Transfer-Encoding: chunked\r\n") + "0\r\n\r\n", 411},
        {"another transfer coding", printHead("Transfer-Encoding: gzip\r\n" + length) + body, 400},
        {"a space before the colon", printHead("Content-Length : 5\r\n") + body, 400},
        {"a folded header line", printHead("X-Note: a\r\n b\r\n" + length) + body, 400},
        {"a header line folded with a tab", printHead("X-Note: a\r\n\tb\r\n" + length) + body, 400},
        {"a body over 64 KB, none of it sent", printHead("Content-Length: 65537\r\n"), 413},
        {"101 header fields", healthWithFields(101), 431},
        {"a header block over 16 KB", printHead("X-Note: " + std::string(16 * 1024, 'n') + "\r\n"), 431},
        {"ten thousand short fields", printHead(fillerFields(10'000)), 431},
    };
    for (const auto& variant : cases)
        for (const std::size_t step : {variant.request.size(), std::size_t{1}}) {
            if (step == 1 && variant.request.size() > 40'000)
                continue;  // a byte at a time costs the square of the size
            EXPECT_EQ(statusRead(variant.request, step), variant.status)
                << variant.name << (step == 1 ? ", a byte at a time" : "");
        }
}

// Two requests in one read, and split anywhere: each read whole, in order,
// with its own header and body; the 100th field is not dropped.
TEST(RequestReader, ReadsPipelinedRequestsOneAfterAnother)
{
    const std::string body = R"({"order":"1"})";
    const std::string both = healthWithFields(100) + ServiceProcess::rawRequest("POST", "/v1/print", body, "");
    for (const std::size_t step : {both.size(), std::size_t{1}, std::size_t{7}}) {
        RequestReader reader{service::HttpLimits{}};
        std::vector<service::HttpCall> calls;
        std::string pending;
        for (std::size_t at = 0; at < both.size(); at += step) {
            pending.append(both.substr(at, step));
            while (reader.state() != RequestReader::State::Refused) {
                pending.erase(0, reader.feed(pending));
                if (reader.state() != RequestReader::State::Complete)
                    break;
                calls.push_back(reader.take());
            }
        }
        ASSERT_EQ(calls.size(), 2u) << "step " << step;
        EXPECT_EQ(calls[0].path, "/v1/health");
        EXPECT_EQ(calls[0].authorization, QByteArray("Bearer ") + ServiceProcess::token);
        EXPECT_EQ(calls[1].method, "POST");
        EXPECT_TRUE(calls[1].authorization.isEmpty());
        EXPECT_EQ(calls[1].body.toStdString(), body);
    }
}

// The real program: each variant on a connection of its own is answered
// and the connection closed, nothing smuggled prints, and 60 MB sent after
// a refused header leave the service's memory as it was.
TEST_F(Door, RefusesSmuggledAndOversizedRequestsWithinItsMemory)
{
    startService(dir.file("printer.out"), "ZEBRA");
    ASSERT_EQ(ask(rawRequest("GET", "/v1/health")).status, 200);
    const long peakBefore = peakMemoryKb();
    const std::string megabyte = smugglingBlocks(128);
    const struct {
        const char* name;
        std::string request;
        int floodMegabytes;
        int status;
    } cases[] = {
        {"lines ended by bare LFs, then 60 MB",
         "POST /v1/print HTTP/1.1\nHost: 127.0.0.1\nAuthorization: Bearer " + std::string(token) +
             "\nContent-Length: 60000000\n\n",
         60, 400},
        {"two Content-Length", printHead("Content-Length: 10\r\nContent-Length: 60000000\r\n") + smuggled, 0, 400},
        {"chunked", printHead("Transfer-Encoding: chunked\r\n") + "0\r\n\r\n" + smuggled, 0, 411},
        {"a body over 64 KB, before any of it", printHead("Content-Length: 65537\r\n"), 0, 413},
        {"101 header fields", healthWithFields(101), 0, 431},
    };
    for (const auto& variant : cases) {
        RawCaller caller(port);
        ASSERT_TRUE(caller.send(variant.request)) << variant.name;
        for (int sent = 0; sent < variant.floodMegabytes && caller.send(megabyte); ++sent) {
        }
        EXPECT_EQ(caller.answer().status, variant.status) << variant.name;
        EXPECT_TRUE(caller.ended()) << variant.name << ": the connection stays open";
    }
    EXPECT_EQ(ask(healthWithFields(100)).status, 200) << "100 header fields, the token the last";
    EXPECT_TRUE(serviceJournal().runs().empty());
    EXPECT_FALSE(std::filesystem::exists(dir.file("printer.out")));
    EXPECT_LT(peakMemoryKb() - peakBefore, 10 * 1024) << "kB more at the peak";
}

// With 48 descriptors it holds 24 connections: 200 callers exhaust them,
// and once they have gone the service answers again, accepting as before.
TEST_F(Door, OutOfDescriptorsItWaitsAndAcceptsAgain)
{
    descriptorLimit = 48;
    startService(dir.file("printer.out"), "ZEBRA");
    {
        std::vector<std::unique_ptr<RawCaller>> held;
        const char* const from[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
        for (int i = 0; i < 200; ++i)
            held.push_back(std::make_unique<RawCaller>(port, from[i % 4]));
        std::this_thread::sleep_for(2s);
    }
    const auto until = Clock::now() + 5s;
    int status = 0;
    while (status != 200 && Clock::now() < until)
        status = ask(rawRequest("GET", "/v1/health"), "127.0.0.6",
                     std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()))
                     .status;
    EXPECT_EQ(status, 200);
}

// A connection's answers come in the order of its requests, the slow one first.
TEST_F(Door, PipelinedRequestsAreAnsweredInOrder)
{
    LoopbackPrinter silent({.statusReply = {}, .manyJobs = true});
    startService(dir.file("printer.out"), "ZEBRA", "SERVICE_PRINTERS=silent=" + silent.address() + "\n");
    RawCaller caller(port);
    caller.send(rawRequest("GET", "/v1/printers/silent/status") + rawRequest("GET", "/v1/openapi.json", {}, ""));
    const RawCaller::Answer status = caller.answer(30s);
    EXPECT_EQ(status.status, 200);
    EXPECT_EQ(status.json()["name"].toString(), "silent");
    const RawCaller::Answer document = caller.answer();
    EXPECT_EQ(document.status, 200);
    EXPECT_TRUE(document.json().contains("openapi"));
}

// Ten wrong tokens from an address, and it is told to wait, even with the
// right one; another address is answered all the while, and the log says
// it once.
TEST_F(Door, AnAddressThatGuessesTokensIsToldToWait)
{
    startService(dir.file("printer.out"), "ZEBRA");
    std::vector<std::string> guesses;
    for (int guess = 0; guess < 10; ++guess)
        guesses.push_back(rawRequest("GET", "/v1/health", {}, "0123456789abcdef-" + std::to_string(guess)));
    auto guessing = sendFromEach(guesses, {"127.0.0.2"});
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(ask(rawRequest("GET", "/v1/health"), "127.0.0.3").status, 200);
    EXPECT_LT(clock.elapsed(), 900) << "answered behind the wrong tokens' delay";
    for (const auto& caller : guessing)
        EXPECT_EQ(caller->answer().status, 401);
    for (int refused = 0; refused < 2; ++refused) {
        const RawCaller::Answer told = ask(rawRequest("GET", "/v1/health"), "127.0.0.2");
        EXPECT_EQ(told.status, 429);
        EXPECT_FALSE(told.header("Retry-After").empty());
    }
    EXPECT_EQ(ask(rawRequest("GET", "/v1/health"), "127.0.0.3").status, 200);
    EXPECT_EQ(terminate(), 0);
    const std::regex told("too many wrong tokens from 127\\.0\\.0\\.2\\b");
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), told), std::sregex_iterator()), 1) << log;
}

TEST_F(Door, ATokensFileOthersCanReadStopsTheStart)
{
    folder = std::make_unique<ScratchDir>();
    folder->write("tokens", std::string("erp ") + token + "\n");
    ::chmod(folder->file("tokens").c_str(), 0644);
    installProgram(*folder, "PRINTER=" + dir.file("printer.out") + "\nPRTTYPE=ZEBRA\nSERVICE_TOKENS=" +
                                folder->file("tokens") + "\nSERVICE_LISTEN=127.0.0.1:0\n");
    startWithoutDisplay(service, folder->file("travcard"),
                        {"serve", "--journal", QString::fromStdString(folder->file("journal.sqlite"))},
                        folder->path());
    ASSERT_TRUE(service.waitForFinished(30'000));
    EXPECT_NE(service.exitCode(), 0);
    const std::string said = service.readAllStandardError().toStdString();
    EXPECT_THAT(said, HasSubstr(folder->file("tokens")));
    EXPECT_THAT(said, HasSubstr("0644"));
}

// SIGHUP reads the tokens file again: the new token is taken and the old
// one refused; a file that cannot be used keeps the tokens in use, and the
// log says why.
TEST_F(Door, SighupReadsTheTokensFileAgainOrKeepsTheTokensInUse)
{
    startService(dir.file("printer.out"), "ZEBRA");
    const auto replaceTokens = [this](const std::string& content, mode_t mode) {
        folder->write("tokens.new", content);
        ::chmod(folder->file("tokens.new").c_str(), mode);
        std::filesystem::rename(folder->file("tokens.new"), folder->file("tokens"));
        signal(SIGHUP);
    };
    const std::string fresh = "0123456789abcdef-mes";
    replaceTokens("mes " + fresh + "\n", 0600);
    ASSERT_TRUE(logShows("read the tokens file, the certificate and the key again"));
    EXPECT_EQ(call("GET", "/v1/health", {}, QByteArray::fromStdString(fresh)).status, 200);
    EXPECT_EQ(call("GET", "/v1/health").status, 401) << "the token no longer in the file";

    const struct {
        const char* name;
        std::string content;
        mode_t mode;
        const char* why;
    } unusable[] = {
        {"others can read it", "mes " + fresh + "\nqa 0123456789abcdef-qa1\n", 0644, "0644"},
        {"a token twice", "mes " + fresh + "\nqa 0123456789abcdef-qa2\nqc 0123456789abcdef-qa2\n", 0600,
         "the same token"},
    };
    for (const auto& file : unusable) {
        const std::size_t from = log.size();
        replaceTokens(file.content, file.mode);
        ASSERT_TRUE(logShows("the tokens file was not read again", from)) << file.name;
        EXPECT_THAT(log.substr(from), HasSubstr(file.why)) << file.name;
        EXPECT_EQ(call("GET", "/v1/health", {}, QByteArray::fromStdString(fresh)).status, 200) << file.name;
        const std::string added = file.content.substr(file.content.find("\nqa ") + 4, 20);
        EXPECT_EQ(call("GET", "/v1/health", {}, QByteArray::fromStdString(added)).status, 401) << file.name;
    }
}

// A printer that never reads holds the first run: 200 requests at once
// from four addresses, and the queue takes 64 behind it; the rest are
// refused before anything is claimed for them.
TEST_F(Door, APrintersQueueTakesSixtyFourBehindTheRunningOne)
{
    LoopbackPrinter stuck({.statusReply = {}, .reads = false});
    startService(stuck.address(), "EPSON");
    std::vector<std::string> prints;
    for (int i = 0; i < 200; ++i) {
        const QJsonObject body = order(("ERP 9" + std::to_string(i)).c_str(), 5);
        prints.push_back(rawRequest("POST", "/v1/print", QJsonDocument(body).toJson().toStdString()));
    }
    auto callers = sendFromEach(prints, {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"});
    std::size_t accepted = 0;
    std::vector<std::string> wrong;
    for (const auto& caller : callers) {
        const RawCaller::Answer answer = caller->answer(60s);
        if (answer.status == 202)
            ++accepted;
        else if (answer.status != 503 || answer.json()["reason"].toString() != "queue_full" ||
                 answer.header("Retry-After").empty())
            wrong.push_back(std::to_string(answer.status) + " " + answer.body);
    }
    EXPECT_THAT(wrong, ::testing::IsEmpty());
    EXPECT_GE(accepted, 64u);
    EXPECT_LE(accepted, 65u);
    EXPECT_EQ(serviceJournal().runs(1000).size(), accepted);
}

class OpenApiDocument : public Door {};

// Served without a token, it describes every route the service takes.
TEST_F(OpenApiDocument, ListsEveryRoute)
{
    startService(dir.file("printer.out"), "ZEBRA");
    const Response served = call("GET", "/v1/openapi.json", {}, {});
    ASSERT_EQ(served.status, 200);
    EXPECT_EQ(served.json.value("openapi").toString(), "3.0.3");
    const QJsonObject paths = served.json.value("paths").toObject();
    const std::pair<const char*, const char*> routes[] = {
        {"/v1/print", "post"},         {"/v1/nested", "post"},          {"/v1/runs", "get"},
        {"/v1/runs/{run}", "get"},     {"/v1/runs/{run}/rest", "post"}, {"/v1/runs/{run}/reprint", "post"},
        {"/v1/printers/{name}/status", "get"}, {"/v1/health", "get"},   {"/v1/openapi.json", "get"},
        {"/v1/runs/{run}", "delete"},  {"/v1/printers", "get"},         {"/v1/printers/{name}/queue", "get"},
        {"/metrics", "get"},           {"/", "get"},
    };
    for (const auto& [path, method] : routes)
        EXPECT_TRUE(paths.value(path).toObject().contains(method)) << path << " " << method;
    EXPECT_EQ(paths.size(), std::size(routes) - 1);  // a path with two methods counts once
}

#elif defined(DOOR_TESTS_SLOW)

// 600 connections from one address, each sending a header byte every 2 s:
// those past 64 are turned away at once, the others at their header's
// deadline, while a caller from another address is answered every time.
TEST_F(Door, SlowCallersAreClosedWhileAnotherIsAnswered)
{
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &files), 0);
    ASSERT_GT(files.rlim_cur, 700u);
    startService(dir.file("printer.out"), "ZEBRA");
    const std::string request = rawRequest("GET", "/v1/health");
    std::vector<std::unique_ptr<RawCaller>> slow;
    for (int i = 0; i < 600; ++i) {
        slow.push_back(std::make_unique<RawCaller>(port, "127.0.0.3"));
        ASSERT_TRUE(slow.back()->connected()) << i;
    }
    std::vector<int> closedWith;
    std::vector<std::string> honest;
    const auto began = Clock::now();
    auto nextByte = began, nextHonest = began;
    std::size_t sent = 0;
    while (Clock::now() < began + 40s) {
        if (Clock::now() >= nextByte) {
            for (const auto& caller : slow)
                caller->send(request.substr(sent, 1));
            ++sent;
            nextByte += 2s;
        }
        if (Clock::now() >= nextHonest) {
            const auto asked = Clock::now();
            const int status = ask(request, "127.0.0.2", 5s).status;
            const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked);
            if (status != 200 || took > 2s)
                honest.push_back(std::to_string(status) + " after " + std::to_string(took.count()) + " ms");
            nextHonest += 3s;
        }
        for (auto caller = slow.begin(); caller != slow.end();)
            if (!(*caller)->pump()) {
                closedWith.push_back((*caller)->firstStatus());
                caller = slow.erase(caller);
            } else {
                ++caller;
            }
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_THAT(honest, ::testing::IsEmpty());
    EXPECT_TRUE(slow.empty()) << slow.size() << " slow connections still open after 40 s";
    EXPECT_EQ(std::count(closedWith.begin(), closedWith.end(), 503), 600 - 64);
    EXPECT_EQ(std::count(closedWith.begin(), closedWith.end(), 408), 64);
}

// SIGTERM lets the printer take the ticket being sent; a second one, soon
// after, stops at once without waiting for a slow printer. Either way the
// service ends with status 0 and the journal's run has ended, confirming
// only tickets the printer received whole.
class Stopping : public Door, public ::testing::WithParamInterface<int> {};

TEST_P(Stopping, TheRunEndsAndTheJournalConfirmsWhatThePrinterReceived)
{
    const int sigterms = GetParam();
    LoopbackPrinter slow({.statusReply = {}, .bytesPerSecond = 8'000});
    startService(slow.address(), "EPSON");
    const QJsonObject order88888{
        {"location", "HM"}, {"order", "88888"}, {"suffix", "2"}, {"quantity", 10}, {"request_id", "ERP 8801"}};
    const Response accepted = post("/v1/print", order88888);
    ASSERT_EQ(accepted.status, 202) << accepted.json["message"].toString().toStdString();
    const qint64 run = accepted.json["run"].toInteger();
    for (int polls = 0; polls < 400 && call("GET", QStringLiteral("/v1/runs/%1").arg(run)).json["sent"].toInt() < 2;
         ++polls)
        std::this_thread::sleep_for(50ms);
    signal(SIGTERM);
    if (sigterms == 2) {
        std::this_thread::sleep_for(500ms);
        signal(SIGTERM);
    }
    ASSERT_TRUE(service.waitForFinished(sigterms == 2 ? 5'500 : 120'000)) << "still running after the signals";
    EXPECT_EQ(service.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(service.exitCode(), 0);

    Journal journal = serviceJournal();
    const RunRecord ended = *journal.run(run);
    EXPECT_NE(ended.ended, 0);
    EXPECT_FALSE(ended.outcome.empty());
    const std::vector<TicketRecord> tickets = journal.tickets(run);
    ASSERT_LT(ended.confirmed, static_cast<int>(tickets.size())) << "the run ended before the signal";
    const std::string received = slow.received();
    std::size_t offset = 0;
    for (int ticket = 0; ticket < ended.confirmed; ++ticket) {
        const TicketRecord& confirmed = tickets[static_cast<std::size_t>(ticket)];
        ASSERT_LE(offset + static_cast<std::size_t>(confirmed.length), received.size())
            << "ticket " << ticket + 1 << " confirmed, never received";
        const QByteArray bytes =
            QByteArray::fromStdString(received.substr(offset, static_cast<std::size_t>(confirmed.length)));
        EXPECT_EQ(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toStdString(), confirmed.sha256)
            << "ticket " << ticket + 1 << " confirmed, not received whole";
        offset += static_cast<std::size_t>(confirmed.length);
    }
    if (sigterms == 1) {
        EXPECT_EQ(ended.inDoubt, 0);
        EXPECT_EQ(received.size(), offset) << "the printer has the confirmed tickets, and no part of another";
    }
}

INSTANTIATE_TEST_SUITE_P(Door, Stopping, ::testing::Values(1, 2),
                         [](const auto& info) { return info.param == 1 ? "OneSigterm" : "TwoSigterms"; });

#elif defined(DOOR_TESTS_POSTGRESQL)

// Every process of the PostgreSQL server stopped with SIGSTOP while it
// lives, as a server that hangs; continued after, also when the test fails.
class HungServer {
public:
    HungServer()
    {
        std::ifstream pidFile(std::string(std::getenv("TRAVCARD_PG_DIR")) + "/postmaster.pid");
        int postmaster = 0;
        if (!(pidFile >> postmaster))
            throw std::runtime_error("no postmaster.pid");
        stopped_.push_back(std::make_unique<StoppedProcess>(postmaster));
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::string stat;
            std::getline(std::ifstream(entry.path() / "stat"), stat);
            std::istringstream afterName(stat.substr(stat.rfind(')') + 1));
            char state = 0;
            int parent = 0;
            if (stat.empty() || !(afterName >> state >> parent) || parent != postmaster)
                continue;
            try {
                stopped_.push_back(std::make_unique<StoppedProcess>(std::stoi(stat)));
            } catch (const std::runtime_error&) {
                // it ended meanwhile
            }
        }
    }

private:
    std::vector<std::unique_ptr<StoppedProcess>> stopped_;
};

// A check that hangs on the database answers 503 after its deadline, and
// no check meanwhile says the database answers; once it is back, health is
// 200 again.
TEST_F(Door, HealthWhileTheDatabaseHangs)
{
    ASSERT_NE(std::getenv("TRAVCARD_PG_DIR"), nullptr);
    startService(dir.file("printer.out"), "ZEBRA");
    ASSERT_EQ(call("GET", "/v1/health").status, 200);
    {
        const HungServer hung;
        struct Check {
            std::unique_ptr<RawCaller> caller;
            Clock::time_point asked;
            RawCaller::Answer answer;
            std::chrono::milliseconds took{};
        };
        std::vector<Check> checks;
        const auto began = Clock::now();
        while (Clock::now() < began + 9s) {
            if (checks.size() < static_cast<std::size_t>((Clock::now() - began) / 1s) + 1) {
                checks.push_back({std::make_unique<RawCaller>(port), Clock::now(), {}, {}});
                checks.back().caller->send(rawRequest("GET", "/v1/health"));
            }
            for (Check& check : checks)
                if (check.answer.status == 0) {
                    check.caller->pump();
                    check.answer = check.caller->answer(0ms);
                    check.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - check.asked);
                }
            std::this_thread::sleep_for(20ms);
        }
        for (Check& check : checks)
            if (check.answer.status == 0)
                check.answer = check.caller->answer(6s);
        EXPECT_EQ(checks[0].answer.status, 503);
        EXPECT_EQ(checks[0].answer.json()["reason"].toString(), "database_unreachable");
        EXPECT_LT(checks[0].took, 6500ms);
        for (std::size_t i = 0; i < checks.size(); ++i)
            EXPECT_EQ(checks[i].answer.status, 503)
                << "check " << i + 1 << ", " << i << " s into the hang: " << checks[i].answer.body;
    }
    int status = 0;
    for (const auto until = Clock::now() + 10s; status != 200 && Clock::now() < until;
         std::this_thread::sleep_for(500ms))
        status = ask(rawRequest("GET", "/v1/health")).status;
    EXPECT_EQ(status, 200) << "10 s after the database came back";
}

#endif

}  // namespace
