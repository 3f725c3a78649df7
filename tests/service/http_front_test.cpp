// The print service's door on a loopback port, talked to by raw sockets on
// the test's event loop: the limits it holds before Qt's server reads a
// request, idle connections, two requests in one write, and an answer
// whose caller has gone. And the API's description, as the service serves it.

#include "service/http_front.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTimer>
#include <gmock/gmock.h>

#include <chrono>
#include <functional>
#include <memory>

namespace {

using namespace std::chrono_literals;

// Runs the event loop until done() or the time is up; done()'s last answer.
bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s)
{
    QEventLoop loop;
    QElapsedTimer clock;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (done() || clock.elapsed() >= limit.count())
            loop.quit();
    });
    clock.start();
    tick.start(5);
    loop.exec();
    return done();
}

// One caller on a raw socket, and what the service wrote back.
struct Client {
    explicit Client(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::connected, [this] { wasConnected = true; });
        socket.connectToHost(QHostAddress::LocalHost, port);
        spinUntil([this] { return wasConnected || closed(); });
    }
    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
    // The status of the first answer, once one has come.
    int status() const { return received.startsWith("HTTP/1.1 ") ? received.mid(9, 3).toInt() : 0; }
    int answers() const { return received.count("HTTP/1.1 "); }

    QTcpSocket socket;
    bool wasConnected = false;
    QByteArray received;
};

class HttpFrontTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "http_front_tests";
            static char* argv[] = {name, nullptr};
            static QCoreApplication app(argc, argv);
        }
    }

    // The door with the production's body and header limits, answering each
    // request 200 with its body's size; a request for /slow after holdFor.
    void open(std::chrono::milliseconds idleLimit = 300ms)
    {
        front = std::make_unique<service::HttpFront>(service::HttpLimits{
            .maxConnections = 3, .maxBody = 64 * 1024, .maxHeaders = 16 * 1024, .idleLimit = idleLimit});
        front->onRequest = [this](const service::HttpCall& call, std::shared_ptr<service::HttpReply> reply) {
            bodies.push_back(call.body);
            const QJsonObject answer{{"size", call.body.size()}};
            if (call.path != "/slow")
                return reply->send(200, answer);
            QTimer::singleShot(holdFor, front.get(), [this, reply, answer] {
                connectedWhenAnswered = reply->connected();
                reply->send(200, answer);
            });
        };
        ASSERT_EQ(front->listenAt(QHostAddress::LocalHost, 0, std::nullopt), std::nullopt);
    }

    std::unique_ptr<service::HttpFront> front;
    std::vector<QByteArray> bodies;  // as the handler saw them
    std::chrono::milliseconds holdFor = 900ms;
    std::optional<bool> connectedWhenAnswered;
};

struct Refused {
    const char* what;
    QByteArray request;
    int status;
};

// Each is answered from the headers alone, its connection closed, and never
// reaches the handler: no body byte of the first is ever sent.
TEST_F(HttpFrontTest, RequestsOverTheLimitsAreRefusedBeforeTheirBody)
{
    open();
    const QByteArray filler = "X-Filler: " + QByteArray(17 * 1024, 'a') + "\r\n";
    const Refused cases[] = {
        {"body over 64 KB", "POST /print HTTP/1.1\r\nHost: t\r\nContent-Length: 65537\r\n\r\n", 413},
        {"body in chunks", "POST /print HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 411},
        {"headers over 16 KB", "GET /runs HTTP/1.1\r\nHost: t\r\n" + filler + "\r\n", 431},
        {"headers past 16 KB, unfinished", "GET /runs HTTP/1.1\r\nHost: t\r\n" + filler, 431},
        {"length below 0", "POST /print HTTP/1.1\r\nHost: t\r\nContent-Length: -1\r\n\r\n", 400},
    };
    for (const Refused& refused : cases) {
        SCOPED_TRACE(refused.what);
        Client client(front->port());
        client.socket.write(refused.request);
        EXPECT_TRUE(spinUntil([&] { return client.closed(); }));
        EXPECT_EQ(client.status(), refused.status) << client.received.toStdString();
        EXPECT_THAT(client.received.toStdString(), ::testing::HasSubstr("\"reason\":"));
    }
    EXPECT_TRUE(bodies.empty());

    // A body of exactly 64 KB is taken.
    Client client(front->port());
    client.socket.write("POST /print HTTP/1.1\r\nHost: t\r\nContent-Length: 65536\r\n\r\n" + QByteArray(65536, '{'));
    ASSERT_TRUE(spinUntil([&] { return client.answers() == 1; }));
    EXPECT_EQ(client.status(), 200);
    EXPECT_THAT(client.received.toStdString(), ::testing::EndsWith("{\"size\":65536}"));
}

TEST_F(HttpFrontTest, ConnectionsBeyondTheLimitAreTurnedAwayUntilOneCloses)
{
    open(10s);
    std::vector<std::unique_ptr<Client>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<Client>(front->port()));
        held.back()->socket.write("GET /health HTTP/1.1\r\nHost: t\r\n\r\n");
        ASSERT_TRUE(spinUntil([&] { return held.back()->answers() == 1; }));
        EXPECT_EQ(held.back()->status(), 200);
    }
    Client turnedAway(front->port());
    EXPECT_TRUE(spinUntil([&] { return turnedAway.closed(); }));
    EXPECT_EQ(turnedAway.status(), 503);
    EXPECT_THAT(turnedAway.received.toStdString(), ::testing::HasSubstr("Retry-After: 1"));

    held.front()->socket.disconnectFromHost();
    // The service sees the close a moment later: until then it may still turn one away.
    bool accepted = false;
    for (int attempt = 0; attempt < 20 && !accepted; ++attempt) {
        Client next(front->port());
        next.socket.write("GET /health HTTP/1.1\r\nHost: t\r\n\r\n");
        spinUntil([&] { return next.answers() == 1 || next.closed(); }, 1s);
        accepted = next.status() == 200;
        if (!accepted)
            spinUntil([] { return false; }, 50ms);
    }
    EXPECT_TRUE(accepted);
}

TEST_F(HttpFrontTest, AnIdleConnectionIsClosedButNotWhileItsAnswerIsOwed)
{
    open();
    QElapsedTimer clock;
    clock.start();
    Client idle(front->port());
    EXPECT_TRUE(spinUntil([&] { return idle.closed(); }, 3s));
    EXPECT_GE(clock.elapsed(), 250);

    Client waiting(front->port());
    waiting.socket.write("GET /slow HTTP/1.1\r\nHost: t\r\n\r\n");
    ASSERT_TRUE(spinUntil([&] { return waiting.answers() == 1 || waiting.closed(); }));
    EXPECT_EQ(waiting.status(), 200);
    // Once answered, it is idle again.
    EXPECT_TRUE(spinUntil([&] { return waiting.closed(); }, 3s));
}

TEST_F(HttpFrontTest, TwoRequestsInOneWriteAreEachAnswered)
{
    open();
    // A body that would read as a chunked request's headers, were it not skipped as a body.
    const QByteArray body = "note\r\nTransfer-Encoding: chunked\r\n\r\n";
    Client client(front->port());
    client.socket.write("POST /print HTTP/1.1\r\nHost: t\r\nContent-Length: " + QByteArray::number(body.size()) +
                        "\r\n\r\n" + body + "GET /health HTTP/1.1\r\nHost: t\r\n\r\n");
    ASSERT_TRUE(spinUntil([&] { return client.answers() == 2 || client.closed(); }));
    EXPECT_THAT(bodies, ::testing::ElementsAre(body, QByteArray()));
    EXPECT_EQ(client.received.count("HTTP/1.1 200"), 2) << client.received.toStdString();
}

TEST_F(HttpFrontTest, AnAnswerAfterItsCallerHungUpIsDropped)
{
    open();
    holdFor = 300ms;
    {
        Client client(front->port());
        client.socket.write("GET /slow HTTP/1.1\r\nHost: t\r\n\r\n");
        ASSERT_TRUE(spinUntil([&] { return !bodies.empty(); }));
        client.socket.abort();
    }
    ASSERT_TRUE(spinUntil([&] { return connectedWhenAnswered.has_value(); }));
    EXPECT_FALSE(*connectedWhenAnswered);
    // The door still answers.
    Client next(front->port());
    next.socket.write("GET /health HTTP/1.1\r\nHost: t\r\n\r\n");
    EXPECT_TRUE(spinUntil([&] { return next.answers() == 1; }));
}

// The description lists every route the service's router knows, with its method.
TEST(OpenApiDocument, ListsEveryRoute)
{
    QFile file(":/travcard/openapi.json");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QJsonParseError error;
    const QJsonObject document = QJsonDocument::fromJson(file.readAll(), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    EXPECT_EQ(document.value("openapi").toString(), "3.0.3");
    const QJsonObject paths = document.value("paths").toObject();
    const std::pair<const char*, const char*> routes[] = {
        {"/v1/print", "post"},         {"/v1/nested", "post"},         {"/v1/runs", "get"},
        {"/v1/runs/{run}", "get"},     {"/v1/runs/{run}/rest", "post"}, {"/v1/runs/{run}/reprint", "post"},
        {"/v1/printers/{name}/status", "get"}, {"/v1/health", "get"}, {"/v1/openapi.json", "get"},
    };
    for (const auto& [path, method] : routes)
        EXPECT_TRUE(paths.value(path).toObject().contains(method)) << path << " " << method;
    EXPECT_EQ(paths.size(), std::size(routes));
}

}  // namespace
