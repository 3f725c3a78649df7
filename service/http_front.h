#pragma once
// The service's door: Qt's HTTP server on a listening socket of our own,
// which holds the limits the server itself lacks. At most maxConnections
// connections; a request whose Content-Length passes the body limit, or
// whose headers pass theirs, is answered 413 (431) before its body is
// read, and its connection closed; a body sent in chunks is refused (411);
// a connection idle for idleLimit while no answer is owed is closed.
// Requests are handed on whole, and answered, on the server's thread,
// whenever their answer is ready: a connection closed meanwhile drops it.

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QString>
#include <QTcpServer>
#include <QUrlQuery>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QHttpServerResponder;
class QTcpSocket;

namespace service {

struct HttpLimits {
    int maxConnections = 256;
    qsizetype maxBody = 64 * 1024;
    qsizetype maxHeaders = 16 * 1024;
    std::chrono::milliseconds idleLimit{std::chrono::seconds(30)};
};

struct HttpCall {
    QByteArray method;  // "GET", "POST", ...
    QString path;
    QUrlQuery query;
    QByteArray body;
    QByteArray authorization;  // the Authorization header
};

using HttpHeaders = std::vector<std::pair<QByteArray, QByteArray>>;

class ConnectionGuard;

// The answer owed to one request: sent once, at any time on the server's
// thread; nothing when its connection has gone.
class HttpReply {
public:
    HttpReply(std::unique_ptr<QHttpServerResponder> responder, QTcpSocket* socket, ConnectionGuard* guard);
    ~HttpReply();
    HttpReply(const HttpReply&) = delete;
    HttpReply& operator=(const HttpReply&) = delete;

    void send(int status, const QJsonObject& body, const HttpHeaders& headers = {});
    void sendBytes(int status, const QByteArray& contentType, const QByteArray& body, const HttpHeaders& headers = {});
    bool sent() const { return sent_; }
    // False once the caller has hung up.
    bool connected() const;

private:
    std::unique_ptr<QHttpServerResponder> responder_;
    QPointer<QTcpSocket> socket_;
    QPointer<ConnectionGuard> guard_;
    bool sent_ = false;
};

// The listening socket: counts and guards each connection it accepts, and
// starts TLS on it when configured.
class GuardedTcpServer : public QTcpServer {
public:
    GuardedTcpServer(HttpLimits limits, std::optional<QSslConfiguration> tls, QObject* parent = nullptr);
    int connections() const { return *count_; }

protected:
    void incomingConnection(qintptr handle) override;

private:
    HttpLimits limits_;
    std::optional<QSslConfiguration> tls_;
    std::shared_ptr<int> count_;  // shared with each connection's guard
};

class HttpFront : public QAbstractHttpServer {
public:
    explicit HttpFront(HttpLimits limits = {}, QObject* parent = nullptr);

    std::function<void(const HttpCall&, std::shared_ptr<HttpReply>)> onRequest;

    // Listens at address: an error's text, or nothing.
    std::optional<QString> listenAt(const QHostAddress& host, quint16 port, std::optional<QSslConfiguration> tls);
    quint16 port() const;
    void stopListening();

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    HttpLimits limits_;
    GuardedTcpServer* listener_ = nullptr;
};

// A JSON error body: {"reason": ..., "message": ...}.
QJsonObject errorBody(const std::string& reason, const std::string& message);

}  // namespace service
