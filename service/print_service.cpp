#include "service/print_service.h"

#include "commands/check_printer.h"
#include "commands/journal_recorder.h"
#include "commands/request_id.h"
#include "commands/run_json.h"
#include "commands/startup.h"

#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <map>

namespace service {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* serviceSource = "print service";
constexpr int keptEndings = 2'000;
constexpr auto wrongTokenDelay = std::chrono::seconds(1);
constexpr auto runPoll = std::chrono::milliseconds(250);
constexpr int longestWait = 60;

QString runUrl(std::int64_t run) { return QStringLiteral("/v1/runs/%1").arg(run); }

Refusal unavailable(const std::string& reason, const std::string& message) { return {503, reason, message}; }

void logLine(const std::string& line) { std::fprintf(stderr, "travcard serve: %s\n", line.c_str()); }

std::string text(const QJsonValue& value)
{
    if (value.isDouble())
        return std::to_string(value.toInteger());
    return value.toString().toStdString();
}

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

// What a request asked, whitespace and the order of its fields aside.
QByteArray askedIn(const HttpCall& call)
{
    return call.path.toUtf8() + ' ' + QJsonDocument::fromJson(call.body).toJson(QJsonDocument::Compact);
}

}  // namespace

int httpStatusOf(const Answer& answer)
{
    const std::string& why = answer.why();
    if (why == reason::printed || why == reason::alreadyPrinted || why == reason::ready || why == reason::stopped)
        return 200;
    if (why == reason::requestInProgress)
        return 409;
    if (why == reason::requestConflict)
        return 422;
    if (why == reason::notFound)
        return 404;
    if (why == reason::inDoubtUnresolved || why == reason::restTaken)
        return 409;
    if (why == reason::journalUnusable || why == reason::databaseUnreachable || why == reason::configUnusable)
        return 503;
    return answer.status() == allSent ? 200 : 400;
}

PrintService::PrintService(ServiceSettings settings, std::shared_ptr<JournalAccess> journal,
                           std::chrono::milliseconds databaseTimeout, HttpLimits limits)
    : settings_(std::move(settings)), journal_(std::move(journal)), front_(limits)
{
    desk_.setMaxThreadCount(4);
    statusCheckers_.setMaxThreadCount(2);
    healthCheckers_.setMaxThreadCount(2);
    for (const auto& [name, printer] : settings_.printers)
        queues_.emplace(name, std::make_unique<PrinterQueue>(name, databaseTimeout));
    front_.onRequest = [this](const HttpCall& call, std::shared_ptr<HttpReply> reply) {
        route(call, std::make_shared<Exchange>(call, std::move(reply)));
    };
}

PrintService::~PrintService()
{
    stopping_ = true;
    {
        const std::lock_guard lock(alive_->guard);
        alive_->alive = false;
    }
    queues_.clear();
    desk_.waitForDone(10'000);
    statusCheckers_.waitForDone(10'000);
    healthCheckers_.waitForDone(10'000);
}

std::optional<QString> PrintService::start()
{
    std::optional<QSslConfiguration> tls;
    if (!settings_.certificate.isEmpty()) {
        QFile certificateFile(settings_.certificate), keyFile(settings_.key);
        if (!certificateFile.open(QIODevice::ReadOnly))
            return "the certificate " + settings_.certificate + " cannot be read: " + certificateFile.errorString();
        if (!keyFile.open(QIODevice::ReadOnly))
            return "the key " + settings_.key + " cannot be read: " + keyFile.errorString();
        const QSslCertificate certificate(certificateFile.readAll(), QSsl::Pem);
        const QByteArray keyText = keyFile.readAll();
        QSslKey key(keyText, QSsl::Rsa, QSsl::Pem);
        if (key.isNull())
            key = QSslKey(keyText, QSsl::Ec, QSsl::Pem);
        if (certificate.isNull() || key.isNull())
            return "the certificate or key is not PEM that TLS can use";
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(certificate);
        configuration.setPrivateKey(key);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        tls = configuration;
    }
    return front_.listenAt(settings_.listen.host, settings_.listen.port, std::move(tls));
}

void PrintService::stop(std::function<void()> stopped)
{
    if (stopping_)
        return;
    stopping_ = true;
    front_.stopListening();
    logLine("stopping: no more requests; each run stops after its current ticket");
    // Stopping waits for the printers to take the tickets being sent: on a
    // thread of its own, while this one answers 503.
    std::vector<PrinterQueue*> queues;
    for (const auto& [name, queue] : queues_)
        queues.push_back(queue.get());
    desk_.start([this, queues, stopped = std::move(stopped)] {
        for (PrinterQueue* queue : queues)
            queue->stop();
        for (PrinterQueue* queue : queues)
            queue->waitForEnd(std::chrono::seconds(85));
        QMetaObject::invokeMethod(this, stopped, Qt::QueuedConnection);
    });
}

template <class Result>
void PrintService::atDesk(std::function<Result()> work, std::function<void(Result)> then)
{
    runOn(desk_, std::move(work), std::move(then));
}

template <class Result>
void PrintService::runOn(QThreadPool& pool, std::function<Result()> work, std::function<void(Result)> then)
{
    pool.start([this, work = std::move(work), then = std::move(then)] {
        auto result = std::make_shared<std::optional<Result>>();
        auto failure = std::make_shared<std::string>();
        try {
            result->emplace(work());
        } catch (const std::exception& error) {
            *failure = error.what();
        } catch (...) {
            *failure = "an unknown exception";
        }
        QMetaObject::invokeMethod(
            this,
            [then, result, failure] {
                if (*result)
                    then(std::move(**result));
                else
                    logLine("a request failed: " + *failure);  // its reply, dropped, answers 500
            },
            Qt::QueuedConnection);
    });
}

namespace {

struct Route {
    enum class Kind { OpenApi, Health, Print, Nested, Runs, Run, Rest, Reprint, PrinterStatus, Unknown };
    Kind kind = Kind::Unknown;
    QByteArray method;  // the one it takes
    std::int64_t run = 0;
    std::string name;
};

Route routeOf(const QString& path)
{
    const QStringList parts = path.split('/', Qt::SkipEmptyParts);
    using Kind = Route::Kind;
    if (parts.size() < 2 || parts[0] != "v1" || path.endsWith('/') || path.contains("//"))
        return {};
    if (parts.size() == 2) {
        static const std::map<QString, Route> fixed{{"openapi.json", {Kind::OpenApi, "GET", 0, {}}},
                                                    {"health", {Kind::Health, "GET", 0, {}}},
                                                    {"print", {Kind::Print, "POST", 0, {}}},
                                                    {"nested", {Kind::Nested, "POST", 0, {}}},
                                                    {"runs", {Kind::Runs, "GET", 0, {}}}};
        const auto found = fixed.find(parts[1]);
        return found != fixed.end() ? found->second : Route{};
    }
    if (parts[1] == "runs" && parts.size() <= 4) {
        const std::optional<std::int64_t> run = runNumber(parts[2]);
        if (!run)
            return {};
        if (parts.size() == 3)
            return {Kind::Run, "GET", *run, {}};
        if (parts[3] == "rest")
            return {Kind::Rest, "POST", *run, {}};
        if (parts[3] == "reprint")
            return {Kind::Reprint, "POST", *run, {}};
        return {};
    }
    if (parts[1] == "printers" && parts.size() == 4 && parts[3] == "status")
        return {Kind::PrinterStatus, "GET", 0, parts[2].toStdString()};
    return {};
}

}  // namespace

// One request and the answer owed to it, logged as it is sent with the
// caller, the run and the request id it names.
class PrintService::Exchange {
public:
    Exchange(HttpCall call, std::shared_ptr<HttpReply> reply)
        : call(std::move(call)), reply_(std::move(reply)), began_(Clock::now())
    {
    }

    const HttpCall call;
    std::string caller;  // once the token is known

    bool connected() const { return reply_->connected(); }

    void send(int status, const QJsonObject& body, const HttpHeaders& headers = {})
    {
        if (reply_->sent())
            return;
        reply_->send(status, body, headers);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began_).count();
        std::string line = (caller.empty() ? "-" : caller) + " " + call.method.toStdString() + " " +
                           call.path.toStdString() + " " + std::to_string(status);
        if (body.contains("run") && !body.value("run").isNull())
            line += " run " + text(body.value("run"));
        if (const std::string id = requestIdOf(call); !id.empty())
            line += " request_id " + id;
        if (body.contains("reason"))
            line += " " + text(body.value("reason"));
        logLine(line + " (" + std::to_string(ms) + " ms)");
    }
    void sendBytes(int status, const QByteArray& type, const QByteArray& body)
    {
        reply_->sendBytes(status, type, body);
    }
    void refuse(const Refusal& refusal, const HttpHeaders& headers = {})
    {
        send(refusal.httpStatus, errorBody(refusal.reason, refusal.message), headers);
    }
    // A command's answer: its fields, reason and messages.
    void answer(const QJsonObject& fields, int status)
    {
        QJsonObject body = fields;
        if (body.contains("run") && !body.value("run").isNull())
            body.insert("url", runUrl(body.value("run").toInteger()));
        const QJsonArray messages = body.value("messages").toArray();
        if (status >= 400)
            body.insert("message", messages.isEmpty() ? "The request was not carried out: " +
                                                            body.value("reason").toString() + "."
                                                      : messages.first().toString());
        // The journal or the database may be back soon.
        send(status, body, status == 503 ? HttpHeaders{{"Retry-After", "5"}} : HttpHeaders{});
    }

private:
    std::shared_ptr<HttpReply> reply_;
    Clock::time_point began_;
};

void PrintService::route(const HttpCall& call, const Reply& exchange)
{
    const Route route = routeOf(call.path);
    using Kind = Route::Kind;
    if (route.kind == Kind::Unknown)
        return exchange->refuse({404, "not_found", "No such resource: " + call.path.toStdString()});
    if (call.method != route.method)
        return exchange->refuse({405, "method_not_allowed", call.path.toStdString() + " takes " +
                                                                route.method.toStdString() + " only."},
                                {{"Allow", route.method}});
    if (route.kind == Kind::OpenApi)
        return openApi(exchange);
    if (stopping_)
        return exchange->refuse(unavailable("stopping", "The print service is stopping."), {{"Retry-After", "30"}});
    authorised(call, exchange, [this, route, exchange] {
        switch (route.kind) {
        case Kind::Health: return health(exchange);
        case Kind::Print: return print(exchange, false);
        case Kind::Nested: return print(exchange, true);
        case Kind::Runs: return runList(exchange);
        case Kind::Run: {
            const int wait = std::clamp(exchange->call.query.queryItemValue("wait").toInt(), 0, longestWait);
            return runStatus(route.run, exchange, Clock::now() + std::chrono::seconds(wait));
        }
        case Kind::Rest: return rest(route.run, exchange);
        case Kind::Reprint: return reprint(route.run, exchange);
        case Kind::PrinterStatus: return printerStatus(route.name, exchange);
        case Kind::OpenApi:
        case Kind::Unknown: break;
        }
    });
}

void PrintService::authorised(const HttpCall& call, const Reply& exchange, const std::function<void()>& then)
{
    const QByteArray scheme = "Bearer ";
    const HttpHeaders challenge{{"WWW-Authenticate", "Bearer realm=\"travcard\""}};
    if (!call.authorization.startsWith(scheme))
        return exchange->refuse({401, "unauthorized", "A request needs the header Authorization: Bearer TOKEN."},
                                challenge);
    const QByteArray token = call.authorization.mid(scheme.size()).trimmed();
    const std::optional<std::string> caller = callerOf(settings_.callers, token.toStdString());
    if (!caller) {
        // The same delay for every wrong token, so guessing is slow.
        QTimer::singleShot(wrongTokenDelay, this, [exchange, challenge] {
            exchange->refuse({401, "unauthorized", "The token is not one of the service's."}, challenge);
        });
        return;
    }
    exchange->caller = *caller;
    then();
}

void PrintService::openApi(const Reply& exchange)
{
    QFile document(":/travcard/openapi.json");
    if (!document.open(QIODevice::ReadOnly))
        return exchange->refuse({500, "internal", "The API's description is missing from this build."});
    exchange->sendBytes(200, "application/json", document.readAll());
}

bool PrintService::queueFull(const std::string& printer) const
{
    return queues_.at(printer)->waiting() >= PrinterQueue::capacity;
}

void PrintService::refuseFull(const std::string& printer, const std::optional<std::string>& requestId,
                              const Reply& exchange)
{
    // A repeat of a request this service took, and whose run has not ended,
    // is told its run as when it was accepted: from memory, for a full queue
    // is when callers retry most, and the journal must go on serving the runs.
    const auto held = requestId ? acceptedHere_.find(*requestId) : acceptedHere_.end();
    if (held != acceptedHere_.end() && held->second.asked == askedIn(exchange->call)) {
        const AcceptedHere& accepted = held->second;
        const QJsonObject body{{"request_id", QString::fromStdString(*requestId)},
                               {"run", static_cast<qint64>(accepted.run)},
                               {"url", runUrl(accepted.run)},
                               {"outcome", waitingHere(accepted.run) ? "queued" : "running"},
                               {"printer", QString::fromStdString(accepted.printer)}};
        return exchange->send(202, body, {{"Location", runUrl(accepted.run).toUtf8()}});
    }
    exchange->refuse(unavailable("queue_full", "The printer " + printer + " has " +
                                                   std::to_string(PrinterQueue::capacity) +
                                                   " runs waiting; try again later."),
                     {{"Retry-After", "5"}});
}

bool PrintService::waitingHere(std::int64_t run) const
{
    return std::any_of(queues_.begin(), queues_.end(), [run](const auto& queue) { return queue.second->holds(run); });
}

void PrintService::releaseRun(std::int64_t run, const std::string& message)
{
    std::shared_ptr<JournalAccess> journal = journal_;
    desk_.start([journal, run, message] { releaseClaim(*journal, run, {{message, MessageIcon::Critical}}); });
}

void PrintService::queueRun(const std::string& printer, std::int64_t run, const QJsonObject& accepted,
                            std::function<void(OrderRun&, const std::shared_ptr<PrintProgress>&, Answer&)> work,
                            const Reply& exchange)
{
    const std::string refusedMessage = "The print service could not queue this run.";
    if (stopping_) {
        releaseRun(run, "The print service stopped before this run began.");
        return exchange->refuse(unavailable("stopping", "The print service is stopping."), {{"Retry-After", "30"}});
    }
    auto progress = std::make_shared<PrintProgress>();
    PrinterQueue::Job job;
    job.run = run;
    job.progress = progress;
    const std::string requestId = accepted.value("request_id").toString().toStdString();
    job.work = [this, alive_ = alive_, run, printer, requestId, work = std::move(work), progress](OrderRun& session) {
        Answer answer(noRunFields());
        try {
            work(session, progress, answer);
        } catch (const std::exception& error) {
            answer.refuse(std::string("The run failed: ") + error.what(), stoppedPartWay, reason::stopped);
        }
        if (!answer.ended())
            answer.end(stoppedPartWay, reason::stopped);
        QJsonObject outcome = answer.json();
        // A run that outlasts the service (stuck past every limit) tells nobody.
        const std::lock_guard lock(alive_->guard);
        if (alive_->alive)
            QMetaObject::invokeMethod(
                this, [this, run, printer, requestId, outcome] { runEnded(run, printer, requestId, outcome); },
                Qt::QueuedConnection);
    };
    std::shared_ptr<JournalAccess> journal = journal_;
    job.dropped = [journal, run] {
        releaseClaim(*journal, run, {{"The print service stopped before this run began.", MessageIcon::Critical}});
    };
    // A claimed run joins its queue even past capacity (queueFull refused
    // before the claim): refused now, it would hold its request id until the
    // claim was given back, and a retry meanwhile would be told it prints.
    if (!queues_.at(printer)->add(std::move(job))) {
        releaseRun(run, "The print service stopped before this run began.");
        return exchange->refuse(unavailable("stopping", "The print service is stopping."), {{"Retry-After", "30"}});
    }
    if (!requestId.empty())
        acceptedHere_[requestId] = {run, printer, askedIn(exchange->call)};
    QJsonObject body = accepted;
    body.insert("run", static_cast<qint64>(run));
    body.insert("url", runUrl(run));
    body.insert("outcome", "queued");
    body.insert("printer", QString::fromStdString(printer));
    exchange->send(202, body, {{"Location", runUrl(run).toUtf8()}});
}

void PrintService::runEnded(std::int64_t run, const std::string& printer, const std::string& requestId,
                            const QJsonObject& outcome)
{
    seenRuns_.erase(run);
    if (const auto accepted = acceptedHere_.find(requestId); accepted != acceptedHere_.end() && accepted->second.run == run)
        acceptedHere_.erase(accepted);
    endings_[run] = outcome;
    while (static_cast<int>(endings_.size()) > keptEndings)
        endings_.erase(endings_.begin());
    const QJsonArray messages = outcome.value("messages").toArray();
    logLine("run " + std::to_string(run) + (requestId.empty() ? "" : " request_id " + requestId) + " to " + printer +
            ": " + text(outcome.value("reason")) + ", " +
            text(outcome.value("sent")) + " of " + text(outcome.value("planned")) + " sent" +
            (messages.isEmpty() ? std::string() : "; " + messages.last().toString().toStdString()));
}

void PrintService::print(const Reply& exchange, bool nested)
{
    std::variant<PrintAsk, Refusal> decoded = decodePrint(exchange->call.body, settings_.printers, nested);
    if (const Refusal* refused = std::get_if<Refusal>(&decoded))
        return exchange->refuse(*refused);
    PrintAsk ask = std::get<PrintAsk>(std::move(decoded));
    ask.order.user = exchange->caller;
    ask.order.source = nested ? std::string(serviceSource) + ", nested part" : serviceSource;
    if (queueFull(ask.printerName))
        return refuseFull(ask.printerName, ask.order.requestId, exchange);
    struct Claim {
        std::int64_t run = 0;
        int status = 0;
        QJsonObject answer;
    };
    std::shared_ptr<JournalAccess> journal = journal_;
    atDesk<Claim>(
        [journal, ask] {
            Answer answer(noRunFields());
            const std::variant<std::int64_t, int> claim = claimRequest(*journal, claimedStart(ask.order), answer);
            if (const std::int64_t* run = std::get_if<std::int64_t>(&claim))
                return Claim{*run, 0, {}};
            // Held by a run that still prints (here or elsewhere): 202, as when it was accepted.
            const int status = answer.why() == reason::requestInProgress ? 202 : httpStatusOf(answer);
            return Claim{0, status, answer.json()};
        },
        [this, ask, exchange, journal, nested](Claim claim) {
            if (!claim.run)
                return exchange->answer(claim.answer, claim.status);
            const QJsonObject accepted{{"request_id", QString::fromStdString(*ask.order.requestId)}};
            queueRun(
                ask.printerName, claim.run, accepted,
                [ask, journal, nested, run = claim.run](OrderRun& session,
                                                        const std::shared_ptr<PrintProgress>& progress,
                                                        Answer& answer) {
                    if (nested)
                        printNestedCard(session, ask.order, *ask.nested, journal, progress, run, answer);
                    else
                        printOrder(session, ask.order, journal, progress, run, answer);
                },
                exchange);
        });
}

void PrintService::rest(std::int64_t run, const Reply& exchange)
{
    std::variant<RestAsk, Refusal> decoded = decodeRest(exchange->call.body, settings_.printers);
    if (const Refusal* refused = std::get_if<Refusal>(&decoded))
        return exchange->refuse(*refused);
    const RestAsk ask = std::get<RestAsk>(decoded);
    std::shared_ptr<JournalAccess> journal = journal_;
    const std::string caller = exchange->caller;
    printAgainLater(exchange, ask.printerName, "rest_of", {}, [journal, ask, run, caller](Answer& answer) {
        std::variant<RestPlan, int> planned = planRest(
            *journal, run, {}, ask.inDoubt, {"\"in_doubt\": \"print\"", "\"in_doubt\": \"skip\""}, ask.printer, answer);
        if (std::holds_alternative<int>(planned))
            return ReprintRequest{};
        const RestPlan plan = std::get<RestPlan>(std::move(planned));
        const std::variant<std::int64_t, int> recorded = recordRest(*journal, plan, ask.printer, caller, answer);
        if (std::holds_alternative<int>(recorded))
            return ReprintRequest{};
        const std::int64_t of = plan.target.id;
        return ReprintRequest{of,      plan.positions, 0, printTheRestSource(of), {ask.printer, false},
                              nullptr, journal,        std::get<std::int64_t>(recorded)};
    });
}

void PrintService::reprint(std::int64_t run, const Reply& exchange)
{
    std::variant<ReprintAsk, Refusal> decoded = decodeReprint(exchange->call.body, settings_.printers);
    if (const Refusal* refused = std::get_if<Refusal>(&decoded))
        return exchange->refuse(*refused);
    const ReprintAsk ask = std::get<ReprintAsk>(decoded);
    std::shared_ptr<JournalAccess> journal = journal_;
    const std::string caller = exchange->caller;
    const auto plan = [journal, ask, run, caller](Answer& answer) {
        std::variant<std::vector<int>, int> chosen = reprintPositions(*journal, run, ask.tickets, ask.operation, answer);
        if (std::holds_alternative<int>(chosen))
            return ReprintRequest{};
        const ReprintOfRun reprint{run, std::get<std::vector<int>>(std::move(chosen)), ask.copies, ask.requestId};
        const std::variant<std::int64_t, int> recorded = recordReprint(*journal, reprint, ask.printer, caller, answer);
        if (std::holds_alternative<int>(recorded))
            return ReprintRequest{};
        return ReprintRequest{run,     reprint.positions, ask.copies, reprintSource(run), {ask.printer, false},
                              nullptr, journal,           std::get<std::int64_t>(recorded)};
    };
    printAgainLater(exchange, ask.printerName, "reprint_of", ask.requestId, plan);
}

void PrintService::printAgainLater(const Reply& exchange, const std::string& printer, const char* againOf,
                                   const std::optional<std::string>& requestId,
                                   std::function<ReprintRequest(Answer&)> plan)
{
    if (queueFull(printer))
        return refuseFull(printer, requestId, exchange);
    // A request id held by a run that still prints answers 202, as when it was accepted.
    const bool keyed = requestId.has_value();
    struct Planned {
        ReprintRequest request;  // its journalRun 0: answered instead
        int status = 0;
        QJsonObject answer;
    };
    atDesk<Planned>(
        [plan = std::move(plan), keyed] {
            Answer answer(noRunFields());
            ReprintRequest request = plan(answer);
            if (request.journalRun)
                return Planned{std::move(request), 0, {}};
            const bool held = keyed && answer.why() == reason::requestInProgress;
            return Planned{{}, held ? 202 : httpStatusOf(answer), answer.json()};
        },
        [this, exchange, printer, againOf, requestId](Planned planned) {
            if (!planned.request.journalRun)
                return exchange->answer(planned.answer, planned.status);
            const ReprintRequest request = planned.request;
            QJsonObject accepted{{againOf, static_cast<qint64>(request.run)}};
            if (requestId)
                accepted.insert("request_id", QString::fromStdString(*requestId));
            queueRun(
                printer, request.journalRun, accepted,
                [request](OrderRun& session, const std::shared_ptr<PrintProgress>& progress, Answer& answer) {
                    ReprintRequest running = request;
                    running.progress = progress;
                    printAgain(session, std::move(running), answer);
                },
                exchange);
        });
}

void PrintService::runStatus(std::int64_t run, const Reply& exchange, Clock::time_point until)
{
    const auto answer = [this, run, exchange, until](SeenRun seen) {
        if (!seen.ended && Clock::now() + runPoll <= until && exchange->connected() && !stopping_) {
            QTimer::singleShot(runPoll, this, [this, run, exchange, until] { runStatus(run, exchange, until); });
            return;
        }
        if (!seen.ended && waitingHere(run))
            seen.json.insert("outcome", "queued");
        if (const auto ending = endings_.find(run); ending != endings_.end())
            for (const char* field : {"reason", "exit_status", "messages"})
                seen.json.insert(field, ending->second.value(field));
        exchange->send(200, seen.json);
    };
    // Callers poll a printing run: its record is read again at most every
    // runPoll, and a poll that comes sooner is answered with that next read,
    // so that polling in a loop does not take the cores the run prints with.
    if (const auto seen = seenRuns_.find(run); seen != seenRuns_.end()) {
        if (seen->second.ended)
            return answer(seen->second);
        const auto age = Clock::now() - seen->second.read;
        if (age < runPoll) {
            QTimer::singleShot(std::chrono::duration_cast<std::chrono::milliseconds>(runPoll - age) +
                                   std::chrono::milliseconds(1),
                               this, [this, run, exchange, until] { runStatus(run, exchange, until); });
            return;
        }
    }
    struct Read {
        bool found = false;
        SeenRun seen;
    };
    std::shared_ptr<JournalAccess> journal = journal_;
    atDesk<Read>(
        [journal, run] {
            MessageList unseen;
            const std::unique_ptr<Journal> connection = journal->open(unseen);
            if (!connection)
                throw JournalError("The print journal cannot be opened.");
            const std::optional<RunRecord> record = connection->run(run);
            if (!record)
                return Read{};
            return Read{true, {runJson(*record, connection->tickets(run)), record->ended != 0, Clock::now()}};
        },
        [this, run, exchange, answer](Read read) {
            if (!read.found)
                return exchange->refuse({404, reason::notFound, "No run " + std::to_string(run) +
                                                                    " is in the print journal."});
            if (seenRuns_.size() >= keptEndings)
                seenRuns_.erase(seenRuns_.begin());
            seenRuns_[run] = read.seen;
            answer(read.seen);
        });
}

void PrintService::runList(const Reply& exchange)
{
    const QUrlQuery& query = exchange->call.query;
    const std::string order = query.queryItemValue("order", QUrl::FullyDecoded).trimmed().toStdString();
    const QString requestId = query.queryItemValue("request_id", QUrl::FullyDecoded);
    std::int64_t since = 0;
    if (query.hasQueryItem("since")) {
        const QString text = query.queryItemValue("since", QUrl::FullyDecoded);
        const QDate day = QDate::fromString(text, Qt::ISODate);
        const QDateTime moment = QDateTime::fromString(text, Qt::ISODateWithMs);
        if (!day.isValid() && !moment.isValid())
            return exchange->refuse({400, reason::badOption, "since is not a day such as 2026-12-31, or a time such "
                                                             "as 2026-12-31T08:00:00+01:00."});
        since = (day.isValid() ? day.startOfDay() : moment).toMSecsSinceEpoch();
    }
    std::shared_ptr<JournalAccess> journal = journal_;
    atDesk<QJsonObject>(
        [journal, order, requestId, since] {
            MessageList unseen;
            const std::unique_ptr<Journal> connection = journal->open(unseen);
            if (!connection)
                throw JournalError("The print journal cannot be opened.");
            std::vector<RunRecord> runs;
            if (!requestId.isEmpty()) {
                if (std::optional<RunRecord> held = connection->runWithRequest(requestId.toStdString()))
                    runs.push_back(std::move(*held));
            } else {
                runs = connection->runs(100, order, since);
            }
            QJsonArray listed;
            for (const RunRecord& run : runs) {
                QJsonObject line = runJson(run, {});
                line.remove("tickets");
                line.insert("url", runUrl(run.id));
                listed.append(line);
            }
            return QJsonObject{{"runs", listed}};
        },
        [exchange](QJsonObject listed) { exchange->send(200, listed); });
}

void PrintService::printerStatus(const std::string& name, const Reply& exchange)
{
    const auto found = settings_.printers.find(name);
    if (found == settings_.printers.end())
        return exchange->refuse({404, "unknown_printer", "The service has no printer named " + name + "."});
    const PrinterSettings printer = found->second;
    runOn<QJsonObject>(
        statusCheckers_,
        [printer] {
            Answer answer;
            answerCheck(printer, checkPrinter(printer), answer);
            return answer.json();
        },
        [exchange, name](QJsonObject status) {
            status.insert("name", QString::fromStdString(name));
            exchange->send(200, status);
        });
}

void PrintService::health(const Reply& exchange)
{
    QJsonObject queues;
    int depth = 0;
    for (const auto& [name, queue] : queues_) {
        const int waiting = queue->waiting();
        depth += waiting;
        queues.insert(QString::fromStdString(name), QJsonObject{{"waiting", waiting}, {"printing", queue->busy()}});
    }
    std::shared_ptr<JournalAccess> journal = journal_;
    std::shared_ptr<HealthSession> checked = health_;
    runOn<QJsonObject>(
        healthCheckers_,
        [journal, checked] {
            MessageList messages;
            bool database = false;
            // One session, kept: a connection for every check would cost
            // the driver's memory each time.
            std::unique_lock lock(checked->guard, std::try_to_lock);
            if (!lock.owns_lock() && checked->lastKnown >= 0) {
                database = checked->lastKnown == 1;
                messages.show("The database is being checked now; this is how the last check ended.",
                              MessageIcon::None);
            } else {
                if (!lock.owns_lock())
                    lock.lock();
                if (!checked->session.isOpen()) {
                    database = openDatabase(checked->session, messages);
                } else {
                    try {
                        checked->session.query("select * from PUBLIC.ITMMAS_BASE", {}, {.maxRows = 1});
                        database = true;
                    } catch (const odbc::Error& error) {
                        messages.show(odbc::describe(error), MessageIcon::Critical);
                        checked->session.close();
                    }
                }
                checked->lastKnown = database ? 1 : 0;
                lock.unlock();
            }
            bool writable = false;
            if (const std::unique_ptr<Journal> connection = journal->open(messages)) {
                try {
                    connection->closeInterruptedRuns();
                    writable = true;
                } catch (const JournalError& error) {
                    messages.show(error.what(), MessageIcon::Critical);
                }
            }
            QJsonArray texts;
            for (const Message& message : messages.shown)
                texts.append(QString::fromStdString(message.text));
            return QJsonObject{{"database", database}, {"journal", writable}, {"messages", texts}};
        },
        [exchange, queues, depth](QJsonObject health) {
            health.insert("queues", queues);
            health.insert("queue_depth", depth);
            const bool healthy = health.value("database").toBool() && health.value("journal").toBool();
            exchange->send(healthy ? 200 : 503, health);
        });
}

}  // namespace service
