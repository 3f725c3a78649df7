#pragma once
// One HTTP/1.1 request as the door reads it, by Boost.Beast's parser within
// the door's limits, and the answers it sends. No input or output here: the
// door hands the bytes it reads to a RequestReader and writes what an
// HttpAnswer holds, so that the fuzz target and the tests read requests
// exactly as the service does.

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QUrlQuery>

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace service {

struct HttpLimits {
    std::size_t maxHeaderBytes = 16 * 1024;
    std::size_t maxHeaderFields = 100;
    std::uint64_t maxBody = 64 * 1024;
    // The header block within headerDeadline of its first byte, the body
    // within bodyDeadline of the header's end.
    std::chrono::milliseconds headerDeadline{std::chrono::seconds(10)};
    std::chrono::milliseconds bodyDeadline{std::chrono::seconds(30)};
    // A kept-alive connection between requests, and an answer the caller
    // does not read.
    std::chrono::milliseconds idleLimit{std::chrono::seconds(30)};
    std::chrono::milliseconds writeLimit{std::chrono::seconds(30)};
    int perAddress = 64;
    int maxConnections = 10'000;  // lowered to what the descriptors allow
};

struct HttpCall {
    QByteArray method;  // "GET", "POST", ...
    QString path;
    QUrlQuery query;
    QByteArray body;
    QByteArray authorization;  // the Authorization header
    std::string peer;          // the caller's address
};

using HttpHeaders = std::vector<std::pair<QByteArray, QByteArray>>;

struct HttpAnswer {
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    HttpHeaders headers;
    bool close = false;  // the connection closes once it is sent
};

// A JSON error body: {"reason": ..., "message": ...}.
QJsonObject errorBody(const std::string& reason, const std::string& message);
HttpAnswer jsonAnswer(int status, const QJsonObject& body, HttpHeaders headers = {});
HttpAnswer errorAnswer(int status, const std::string& reason, const std::string& message,
                       HttpHeaders headers = {});
// The bytes on the wire: status line, headers, body.
std::string wireBytes(const HttpAnswer& answer, bool keepAlive);

// Reads one request after another from the bytes of one connection.
class RequestReader {
public:
    enum class State { Waiting, Headers, Body, Complete, Refused };

    explicit RequestReader(const HttpLimits& limits);

    // Takes what it can of bytes (nothing once Complete or Refused): how many.
    std::size_t feed(std::string_view bytes);
    // The caller closed its side.
    void endOfInput();

    State state() const { return state_; }
    // Once Refused: the answer, which closes the connection.
    const HttpAnswer& refusal() const { return refusal_; }
    // Once Complete: the request; the reader then waits for the next one.
    HttpCall take();
    // Whether the caller asked to keep the connection after the last request.
    bool keepAlive() const { return keepAlive_; }

private:
    void start();
    void refuse(int status, const std::string& reason, const std::string& message);
    void headerDone();

    HttpLimits limits_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
    State state_ = State::Waiting;
    HttpAnswer refusal_;
    bool keepAlive_ = true;
};

}  // namespace service
