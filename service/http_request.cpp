#include "service/http_request.h"

#include <QJsonDocument>
#include <QUrl>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/status.hpp>

#include <iterator>

namespace service {

namespace http = boost::beast::http;

QJsonObject errorBody(const std::string& reason, const std::string& message)
{
    return {{"reason", QString::fromStdString(reason)}, {"message", QString::fromStdString(message)}};
}

HttpAnswer jsonAnswer(int status, const QJsonObject& body, HttpHeaders headers)
{
    return {status, "application/json", QJsonDocument(body).toJson(QJsonDocument::Compact), std::move(headers)};
}

HttpAnswer errorAnswer(int status, const std::string& reason, const std::string& message, HttpHeaders headers)
{
    return jsonAnswer(status, errorBody(reason, message), std::move(headers));
}

std::string wireBytes(const HttpAnswer& answer, bool keepAlive)
{
    const auto phrase = http::obsolete_reason(static_cast<http::status>(answer.status));
    std::string bytes = "HTTP/1.1 " + std::to_string(answer.status) + ' ' + std::string(phrase) + "\r\n";
    bytes += "Content-Type: " + answer.contentType.toStdString() + "\r\n";
    bytes += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
    for (const auto& [name, value] : answer.headers)
        bytes += name.toStdString() + ": " + value.toStdString() + "\r\n";
    if (!keepAlive || answer.close)
        bytes += "Connection: close\r\n";
    bytes += "\r\n";
    bytes.append(answer.body.constData(), static_cast<std::size_t>(answer.body.size()));
    return bytes;
}

namespace {

// Where a header block breaks HTTP/1.1's framing in a way the parser would
// let pass or never see the end of: a line ended by a bare LF, or a field
// folded onto the next line (obs-fold). Only the bytes before the block's
// end are looked at; the body may hold anything.
std::optional<std::string> framingFault(std::string_view bytes, std::size_t limit)
{
    bytes = bytes.substr(0, limit);
    const std::size_t end = bytes.find("\r\n\r\n");
    const std::string_view block = bytes.substr(0, end == std::string_view::npos ? bytes.size() : end + 2);
    for (std::size_t at = block.find('\n'); at != std::string_view::npos; at = block.find('\n', at + 1)) {
        if (at == 0 || block[at - 1] != '\r')
            return "A line of the request's headers ends in a bare LF; HTTP/1.1 ends it in CRLF.";
        if (at + 1 < block.size() && (block[at + 1] == ' ' || block[at + 1] == '\t'))
            return "A header of the request is folded onto a second line, which HTTP/1.1 no longer allows.";
    }
    return std::nullopt;
}

}  // namespace

RequestReader::RequestReader(const HttpLimits& limits) : limits_(limits) { start(); }

void RequestReader::start()
{
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(limits_.maxHeaderBytes));
    parser_->body_limit(limits_.maxBody);
    state_ = State::Waiting;
}

void RequestReader::refuse(int status, const std::string& reason, const std::string& message)
{
    state_ = State::Refused;
    refusal_ = errorAnswer(status, reason, message);
    refusal_.close = true;
}

std::size_t RequestReader::feed(std::string_view bytes)
{
    if (state_ == State::Complete || state_ == State::Refused || bytes.empty())
        return 0;
    if (state_ == State::Waiting)
        state_ = State::Headers;
    if (state_ == State::Headers)
        if (const std::optional<std::string> fault = framingFault(bytes, limits_.maxHeaderBytes)) {
            refuse(400, "bad_request", *fault);
            return 0;
        }
    std::size_t taken = 0;
    while (taken < bytes.size() && (state_ == State::Headers || state_ == State::Body)) {
        boost::system::error_code error;
        const std::size_t used = parser_->put(boost::asio::buffer(bytes.data() + taken, bytes.size() - taken), error);
        taken += used;
        if (error == http::error::need_more)
            break;
        if (error == http::error::header_limit)
            refuse(431, "headers_too_large", "The request's headers are larger than 16 KB.");
        else if (error == http::error::body_limit)
            refuse(413, "too_large", "The request's body is larger than 64 KB.");
        else if (error == http::error::bad_content_length || error == http::error::bad_transfer_encoding)
            refuse(400, "bad_request",
                   "The request's length is unclear: a Content-Length that is not one number, or one "
                   "together with Transfer-Encoding.");
        else if (error)
            refuse(400, "bad_request", "The request is not HTTP/1.1 that the service reads: " + error.message() + ".");
        if (error)
            return taken;
        if (state_ == State::Headers && parser_->is_header_done())
            headerDone();
        if (state_ != State::Refused && parser_->is_done())
            state_ = State::Complete;
        if (used == 0)
            break;
    }
    return taken;
}

void RequestReader::headerDone()
{
    state_ = State::Body;
    const auto& header = parser_->get();
    if (static_cast<std::size_t>(std::distance(header.begin(), header.end())) > limits_.maxHeaderFields)
        return refuse(431, "headers_too_large",
                      "The request has more than " + std::to_string(limits_.maxHeaderFields) + " headers.");
    if (header.count(http::field::content_length) > 1)
        return refuse(400, "bad_request", "The request has more than one Content-Length.");
    if (header.count(http::field::transfer_encoding) > 0) {
        if (parser_->chunked())
            return refuse(411, "length_required", "A request's body must be sent with a Content-Length, not in chunks.");
        return refuse(400, "bad_request", "The service takes no Transfer-Encoding.");
    }
    keepAlive_ = parser_->keep_alive();
}

void RequestReader::endOfInput()
{
    if (state_ == State::Headers || state_ == State::Body)
        refuse(400, "bad_request", "The request ended before all of it came.");
}

HttpCall RequestReader::take()
{
    const http::request<http::string_body>& request = parser_->get();
    HttpCall call;
    call.method = QByteArray(request.method_string().data(), static_cast<qsizetype>(request.method_string().size()));
    const std::string_view target = request.target();
    const std::size_t question = target.find('?');
    const std::string_view path = target.substr(0, question);
    call.path = QUrl::fromPercentEncoding(QByteArray(path.data(), static_cast<qsizetype>(path.size())));
    if (question != std::string_view::npos)
        call.query = QUrlQuery(QString::fromUtf8(target.substr(question + 1)));
    call.body = QByteArray::fromStdString(request.body());
    const std::string_view authorization = request[http::field::authorization];
    call.authorization = QByteArray(authorization.data(), static_cast<qsizetype>(authorization.size()));
    start();
    return call;
}

}  // namespace service
