#include "service/exchange.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>
#include <cstdlib>

namespace service {
namespace {

// The request id a log line names: as sent, but one line of printable
// text, and not longer than an id may be, whatever a refused request held.
std::string requestIdOf(const HttpCall& call)
{
    const QJsonValue id = QJsonDocument::fromJson(call.body).object().value("request_id");
    if (!id.isString())
        return {};
    QString shown = id.toString().left(100);
    for (QChar& c : shown)
        if (!c.isPrint())
            c = QChar('?');
    return shown.toStdString();
}

}  // namespace

QString runUrl(std::int64_t run) { return QStringLiteral("/v1/runs/%1").arg(run); }

void logLine(const std::string& line)
{
    static const bool stampedByJournal = std::getenv("JOURNAL_STREAM") != nullptr;
    if (stampedByJournal) {
        std::fprintf(stderr, "travcard serve: %s\n", line.c_str());
        return;
    }
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray stamp = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs).toUtf8();
    std::fprintf(stderr, "%s travcard serve: %s\n", stamp.constData(), line.c_str());
}

std::string jsonText(const QJsonValue& value)
{
    if (value.isDouble())
        return std::to_string(value.toInteger());
    return value.toString().toStdString();
}

Exchange::Exchange(HttpCall call, std::shared_ptr<HttpReply> reply, std::shared_ptr<ServiceMetrics> metrics)
    : call(std::move(call)), reply_(std::move(reply)), metrics_(std::move(metrics)),
      began_(std::chrono::steady_clock::now())
{
}

Exchange::~Exchange()
{
    if (!reply_->sent() && reply_->connected())
        metrics_->answered(route, call.method, 500, std::chrono::steady_clock::now() - began_);
}

void Exchange::send(int status, const QJsonObject& body, const HttpHeaders& headers)
{
    if (reply_->sent())
        return;
    handOver(jsonAnswer(status, body, headers));
    log(status, body);
}

void Exchange::sendBytes(int status, const QByteArray& type, const QByteArray& body, const HttpHeaders& headers)
{
    if (reply_->sent())
        return;
    handOver({status, type, body, headers, false});
}

void Exchange::handOver(HttpAnswer answer)
{
    const int status = answer.status;
    reply_->send(std::move(answer));
    metrics_->answered(route, call.method, status, std::chrono::steady_clock::now() - began_);
}

void Exchange::log(int status, const QJsonObject& body)
{
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began_).count();
    std::string line = (caller.empty() ? "-" : caller) + " " + call.peer + " " + call.method.toStdString() + " " +
                       call.path.toStdString() + " " + std::to_string(status);
    if (body.contains("run") && !body.value("run").isNull())
        line += " run " + jsonText(body.value("run"));
    if (const std::string id = requestIdOf(call); !id.empty())
        line += " request_id " + id;
    if (body.contains("reason"))
        line += " " + jsonText(body.value("reason"));
    logLine(line + " (" + std::to_string(ms) + " ms)");
}

void Exchange::refuse(const Refusal& refusal, const HttpHeaders& headers)
{
    send(refusal.httpStatus, errorBody(refusal.reason, refusal.message), headers);
}

void Exchange::answer(const QJsonObject& fields, int status)
{
    QJsonObject body = fields;
    if (body.contains("run") && !body.value("run").isNull())
        body.insert("url", runUrl(body.value("run").toInteger()));
    const QJsonArray messages = body.value("messages").toArray();
    if (status >= 400)
        body.insert("message", messages.isEmpty()
                                   ? "The request was not carried out: " + body.value("reason").toString() + "."
                                   : messages.first().toString());
    // The journal or the database may be back soon.
    send(status, body, status == 503 ? HttpHeaders{{"Retry-After", "5"}} : HttpHeaders{});
}

}  // namespace service
