#include "service/http_front.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace service {

// Stands beside Qt's HTTP server on one connection: its slot sees each
// chunk first, follows where one request ends and the next begins (the
// header block, then Content-Length bytes), and refuses a request before
// the server has read its body. It closes the connection once it has been
// idle for the limit while no answer is owed.
class ConnectionGuard : public QObject {
public:
    static constexpr const char* objectNameOnSocket = "travcard-connection-guard";

    ConnectionGuard(QTcpSocket* socket, const HttpLimits& limits, std::shared_ptr<int> connections)
        : QObject(socket), socket_(socket), limits_(limits), connections_(std::move(connections))
    {
        setObjectName(objectNameOnSocket);
        ++*connections_;
        idle_.setSingleShot(true);
        idle_.setInterval(limits_.idleLimit);
        connect(&idle_, &QTimer::timeout, socket_, [this] { socket_->abort(); });
        connect(socket_, &QTcpSocket::readyRead, this, [this] { arrived(); });
        idle_.start();
    }
    ~ConnectionGuard() override { --*connections_; }

    void owe()
    {
        ++owed_;
        idle_.stop();
    }
    void paid()
    {
        if (owed_ > 0 && --owed_ == 0)
            idle_.start();
    }

private:
    enum class Part { Headers, Body, Refused };

    void arrived()
    {
        if (owed_ == 0)
            idle_.start();
        if (part_ == Part::Refused) {
            socket_->readAll();
            return;
        }
        const QByteArray data = socket_->peek(socket_->bytesAvailable());
        qsizetype at = 0;
        while (at < data.size() && part_ != Part::Refused) {
            if (part_ == Part::Body) {
                const qsizetype taken = std::min(bodyLeft_, data.size() - at);
                bodyLeft_ -= taken;
                at += taken;
                if (bodyLeft_ == 0)
                    part_ = Part::Headers;
                continue;
            }
            const qsizetype before = headers_.size();
            headers_.append(data.mid(at));
            const qsizetype end = headers_.indexOf("\r\n\r\n");
            if (end < 0) {
                if (headers_.size() > limits_.maxHeaders)
                    refuse(431, "Request Header Fields Too Large", "headers_too_large",
                           "The request's headers are larger than 16 KB.");
                at = data.size();
                continue;
            }
            at += end + 4 - before;
            readHeaders(headers_.left(end));
            headers_.clear();
        }
    }

    void readHeaders(const QByteArray& block)
    {
        qsizetype length = 0;
        for (const QByteArray& line : block.split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon < 0)
                continue;
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "transfer-encoding")
                return refuse(411, "Length Required", "length_required",
                              "A request's body must be sent with a Content-Length, not in chunks.");
            if (name == "content-length") {
                bool number = false;
                length = value.toLongLong(&number);
                if (!number || length < 0)
                    return refuse(400, "Bad Request", "bad_request", "The Content-Length is not a number.");
            }
        }
        if (block.size() > limits_.maxHeaders)
            return refuse(431, "Request Header Fields Too Large", "headers_too_large",
                          "The request's headers are larger than 16 KB.");
        if (length > limits_.maxBody)
            return refuse(413, "Payload Too Large", "too_large", "The request's body is larger than 64 KB.");
        bodyLeft_ = length;
        part_ = length > 0 ? Part::Body : Part::Headers;
    }

    // The answer is written here, ahead of the server, which never sees
    // the rest of the request: what follows is read and dropped.
    void refuse(int status, const char* phrase, const char* reason, const char* message)
    {
        part_ = Part::Refused;
        const QByteArray body = QJsonDocument(errorBody(reason, message)).toJson(QJsonDocument::Compact);
        socket_->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + phrase +
                       "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
                       "\r\nConnection: close\r\n\r\n" + body);
        socket_->readAll();
        closeAfterAnswer();
    }

    // A caller still sending the body would get a reset, and could lose the
    // answer, if the connection closed with its bytes unread: the answer is
    // sent, this side is shut, and what still comes is read and dropped
    // until the caller closes, for a few seconds at most.
    void closeAfterAnswer()
    {
        QTimer::singleShot(std::chrono::seconds(5), socket_, [socket = socket_] { socket->abort(); });
        if (qobject_cast<QSslSocket*>(socket_)) {
            socket_->disconnectFromHost();
            return;
        }
        const auto shutWhenSent = [socket = socket_] {
            if (socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState)
                ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
        };
        connect(socket_, &QTcpSocket::bytesWritten, this, shutWhenSent);
        socket_->flush();
        shutWhenSent();
    }

    QTcpSocket* socket_;
    HttpLimits limits_;
    std::shared_ptr<int> connections_;
    QTimer idle_;
    Part part_ = Part::Headers;
    QByteArray headers_;
    qsizetype bodyLeft_ = 0;
    int owed_ = 0;
};

QJsonObject errorBody(const std::string& reason, const std::string& message)
{
    return {{"reason", QString::fromStdString(reason)}, {"message", QString::fromStdString(message)}};
}

HttpReply::HttpReply(std::unique_ptr<QHttpServerResponder> responder, QTcpSocket* socket, ConnectionGuard* guard)
    : responder_(std::move(responder)), socket_(socket), guard_(guard)
{
}

HttpReply::~HttpReply()
{
    if (!sent_)
        send(500, errorBody("internal", "The service ended this request without an answer."));
}

bool HttpReply::connected() const { return socket_ && socket_->state() == QAbstractSocket::ConnectedState; }

void HttpReply::send(int status, const QJsonObject& body, const HttpHeaders& headers)
{
    sendBytes(status, "application/json", QJsonDocument(body).toJson(QJsonDocument::Compact), headers);
}

void HttpReply::sendBytes(int status, const QByteArray& contentType, const QByteArray& body,
                          const HttpHeaders& headers)
{
    if (sent_)
        return;
    sent_ = true;
    if (guard_)
        guard_->paid();
    if (!connected())
        return;
    responder_->writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(status));
    responder_->writeHeader("Content-Type", contentType);
    responder_->writeHeader("Content-Length", QByteArray::number(body.size()));
    for (const auto& [name, value] : headers)
        responder_->writeHeader(name, value);
    responder_->writeBody(body);
}

GuardedTcpServer::GuardedTcpServer(HttpLimits limits, std::optional<QSslConfiguration> tls, QObject* parent)
    : QTcpServer(parent), limits_(limits), tls_(std::move(tls)), count_(std::make_shared<int>(0))
{
}

void GuardedTcpServer::incomingConnection(qintptr handle)
{
    QTcpSocket* socket = tls_ ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
        delete socket;
        return;
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    if (*count_ >= limits_.maxConnections) {
        const QByteArray body = QJsonDocument(errorBody("busy", "The service has too many connections open."))
                                    .toJson(QJsonDocument::Compact);
        socket->write("HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nRetry-After: 1\r\n"
                      "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
        QTimer::singleShot(std::chrono::seconds(5), socket, [socket] { socket->abort(); });
        return;
    }
    new ConnectionGuard(socket, limits_, count_);
    // An answer goes out in several writes: with Nagle's algorithm its last
    // segment waited for the caller's delayed acknowledgement, 40 ms on a
    // kept-alive connection.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (auto* secure = qobject_cast<QSslSocket*>(socket)) {
        secure->setSslConfiguration(*tls_);
        secure->startServerEncryption();
    }
    addPendingConnection(socket);
}

HttpFront::HttpFront(HttpLimits limits, QObject* parent) : QAbstractHttpServer(parent), limits_(limits) {}

std::optional<QString> HttpFront::listenAt(const QHostAddress& host, quint16 port,
                                           std::optional<QSslConfiguration> tls)
{
    auto* listener = new GuardedTcpServer(limits_, std::move(tls), this);
    if (!listener->listen(host, port)) {
        const QString error = listener->errorString();
        delete listener;
        return error;
    }
    listener_ = listener;
    bind(listener);
    return std::nullopt;
}

quint16 HttpFront::port() const { return listener_ ? listener_->serverPort() : 0; }

void HttpFront::stopListening()
{
    if (listener_)
        listener_->close();
}

namespace {

QByteArray methodName(QHttpServerRequest::Method method)
{
    switch (method) {
    case QHttpServerRequest::Method::Get: return "GET";
    case QHttpServerRequest::Method::Put: return "PUT";
    case QHttpServerRequest::Method::Delete: return "DELETE";
    case QHttpServerRequest::Method::Post: return "POST";
    case QHttpServerRequest::Method::Head: return "HEAD";
    case QHttpServerRequest::Method::Options: return "OPTIONS";
    case QHttpServerRequest::Method::Patch: return "PATCH";
    default: return "OTHER";
    }
}

}  // namespace

bool HttpFront::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    HttpCall call;
    call.method = methodName(request.method());
    call.path = request.url().path();
    call.query = request.query();
    call.body = request.body();
    for (const auto& [name, value] : request.headers())
        if (name.compare("authorization", Qt::CaseInsensitive) == 0)
            call.authorization = value;
    auto* guard = static_cast<ConnectionGuard*>(
        socket->findChild<QObject*>(ConnectionGuard::objectNameOnSocket, Qt::FindDirectChildrenOnly));
    if (guard)
        guard->owe();
    auto reply = std::make_shared<HttpReply>(std::make_unique<QHttpServerResponder>(makeResponder(request, socket)),
                                             socket, guard);
    if (onRequest)
        onRequest(call, std::move(reply));
    return true;
}

void HttpFront::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
}

}  // namespace service
