#pragma once
// One request and the answer owed to it, as the routes see them: the
// caller's call, and answers logged as they are sent with the caller, the
// run and the request id they name, and counted in the service's metrics.
// On the door's thread only.

#include "service/http_door.h"
#include "service/request_decoding.h"
#include "service/service_metrics.h"

#include <QJsonObject>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace service {

QString runUrl(std::int64_t run);
// A line of the service's log on standard error: after an ISO 8601 time,
// unless the service manager's journal stamps each line itself.
void logLine(const std::string& line);
// A JSON number or string as text.
std::string jsonText(const QJsonValue& value);

class Exchange {
public:
    Exchange(HttpCall call, std::shared_ptr<HttpReply> reply, std::shared_ptr<ServiceMetrics> metrics);
    // One released unanswered is answered 500 by its reply, and counted so.
    ~Exchange();
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    const HttpCall call;
    std::string caller;  // once the token is known
    std::string route;   // the path with its parameters named ("/v1/runs/{run}"), or "other"

    bool connected() const { return reply_->connected(); }
    bool answered() const { return reply_->sent(); }

    void send(int status, const QJsonObject& body, const HttpHeaders& headers = {});
    void sendBytes(int status, const QByteArray& type, const QByteArray& body, const HttpHeaders& headers = {});
    void refuse(const Refusal& refusal, const HttpHeaders& headers = {});
    // A command's answer: its fields, reason and messages; a 503 says when to try again.
    void answer(const QJsonObject& fields, int status);

private:
    void log(int status, const QJsonObject& body);
    void handOver(HttpAnswer answer);

    std::shared_ptr<HttpReply> reply_;
    std::shared_ptr<ServiceMetrics> metrics_;
    std::chrono::steady_clock::time_point began_;
};

using Reply = std::shared_ptr<Exchange>;

}  // namespace service
