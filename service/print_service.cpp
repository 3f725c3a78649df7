#include "service/print_service.h"

#include "exactly_once/journal_recorder.h"
#include "exactly_once/request_id.h"

#include <QFile>
#include <QJsonDocument>

#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <map>

namespace service {
namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

constexpr auto wrongTokenDelay = std::chrono::seconds(1);
constexpr int longestWait = 60;

// The TLS context of the certificate and key: nothing and the fault in why
// when either cannot be used.
std::shared_ptr<asio::ssl::context> tlsContext(const ServiceSettings& settings, std::string& why)
{
    const std::string key = settings.key.toStdString(), certificate = settings.certificate.toStdString();
    if (const std::optional<std::string> fault = secretFileFault(key, "the TLS key")) {
        why = *fault;
        return nullptr;
    }
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                         asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                         asio::ssl::context::no_tlsv1_1);
    boost::system::error_code error;
    context->use_certificate_chain_file(certificate, error);
    if (error) {
        why = "the certificate " + certificate + " cannot be used: " + error.message();
        return nullptr;
    }
    context->use_private_key_file(key, asio::ssl::context::pem, error);
    if (error) {
        why = "the key " + key + " cannot be used: " + error.message();
        return nullptr;
    }
    return context;
}

struct Route {
    enum class Kind {
        Page, Metrics, OpenApi, Health, Print, Nested, Runs, Run, Cancel, Rest, Reprint,
        Printers, PrinterQueue, PrinterStatus, Unknown
    };
    Kind kind = Kind::Unknown;
    QByteArray method;  // the one it takes
    std::string label;  // the path with its parameters named, as metrics count it
    std::int64_t run = 0;
    std::string name;
};

Route routeOf(const QString& path, const QByteArray& method)
{
    using Kind = Route::Kind;
    if (path == "/")
        return {Kind::Page, "GET", "/", 0, {}};
    if (path == "/metrics")
        return {Kind::Metrics, "GET", "/metrics", 0, {}};
    const QStringList parts = path.split('/', Qt::SkipEmptyParts);
    if (parts.size() < 2 || parts[0] != "v1" || path.endsWith('/') || path.contains("//"))
        return {};
    if (parts.size() == 2) {
        static const std::map<QString, Route> fixed{
            {"openapi.json", {Kind::OpenApi, "GET", "/v1/openapi.json", 0, {}}},
            {"health", {Kind::Health, "GET", "/v1/health", 0, {}}},
            {"print", {Kind::Print, "POST", "/v1/print", 0, {}}},
            {"nested", {Kind::Nested, "POST", "/v1/nested", 0, {}}},
            {"runs", {Kind::Runs, "GET", "/v1/runs", 0, {}}},
            {"printers", {Kind::Printers, "GET", "/v1/printers", 0, {}}}};
        const auto found = fixed.find(parts[1]);
        return found != fixed.end() ? found->second : Route{};
    }
    if (parts[1] == "runs" && parts.size() <= 4) {
        const std::optional<std::int64_t> run = runNumber(parts[2]);
        if (!run)
            return {};
        if (parts.size() == 3)
            return method == "DELETE" ? Route{Kind::Cancel, "DELETE", "/v1/runs/{run}", *run, {}}
                                      : Route{Kind::Run, "GET", "/v1/runs/{run}", *run, {}};
        if (parts[3] == "rest")
            return {Kind::Rest, "POST", "/v1/runs/{run}/rest", *run, {}};
        if (parts[3] == "reprint")
            return {Kind::Reprint, "POST", "/v1/runs/{run}/reprint", *run, {}};
        return {};
    }
    if (parts[1] == "printers" && parts.size() == 4 && parts[3] == "status")
        return {Kind::PrinterStatus, "GET", "/v1/printers/{name}/status", 0, parts[2].toStdString()};
    if (parts[1] == "printers" && parts.size() == 4 && parts[3] == "queue")
        return {Kind::PrinterQueue, "GET", "/v1/printers/{name}/queue", 0, parts[2].toStdString()};
    return {};
}

}  // namespace

int httpStatusOf(const Answer& answer)
{
    const std::string& why = answer.why();
    if (why == reason::printed || why == reason::alreadyPrinted || why == reason::ready || why == reason::stopped ||
        why == reason::cancelled)
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

QByteArray askedIn(const HttpCall& call)
{
    QJsonObject body = QJsonDocument::fromJson(call.body).object();
    if (const QJsonValue id = body.value("request_id"); id.isString())
        body.insert("request_id", id.toString().trimmed());  // ids are trimmed as they are claimed
    return call.path.toUtf8() + ' ' + QJsonDocument(body).toJson(QJsonDocument::Compact);
}

PrintService::PrintService(asio::io_context& io, ServiceSettings settings, std::shared_ptr<JournalAccess> journal,
                           std::chrono::milliseconds databaseTimeout, HttpLimits limits)
    : io_(io), settings_(std::move(settings)), journal_(std::move(journal)),
      door_(io, limits, [this](HttpCall call, std::shared_ptr<HttpReply> reply) {
          route(std::make_shared<Exchange>(std::move(call), std::move(reply), metrics_));
      })
{
    desk_.setMaxThreadCount(4);
    statusCheckers_.setMaxThreadCount(2);
    healthCheckers_.setMaxThreadCount(2);
    sharedQueue_ = journal_ && !journal_->off() && isServerJournal(journal_->path());
    for (const auto& [name, printer] : settings_.printers)
        queues_.emplace(name, std::make_unique<PrinterQueue>(
                                  name, databaseTimeout,
                                  sharedQueue_ ? std::optional(sharedQueue(name)) : std::nullopt));
    if (sharedQueue_)
        runEnds_ = std::make_unique<RunEndListener>(journal_->path(), [this](std::int64_t run) {
            boost::asio::post(io_, [this, run] { runEndedElsewhere(run); });
        });
}

PrintService::~PrintService()
{
    runEnds_.reset();
    stopping_ = true;
    door_.closeAll();
    for (const auto& [name, queue] : queues_)
        queue->stop(true);
    queues_.clear();
    desk_.waitForDone(10'000);
    statusCheckers_.waitForDone(10'000);
    healthCheckers_.waitForDone(10'000);
}

std::optional<std::string> PrintService::start()
{
    std::shared_ptr<asio::ssl::context> tls;
    if (!settings_.certificate.isEmpty()) {
        std::string why;
        tls = tlsContext(settings_, why);
        if (!tls)
            return why;
    }
    boost::system::error_code error;
    const asio::ip::address host = asio::ip::make_address(settings_.listen.host.toString().toStdString(), error);
    if (error)
        return "the address " + settings_.listen.host.toString().toStdString() + " is not one: " + error.message();
    std::optional<std::string> fault = door_.listen({host, settings_.listen.port}, std::move(tls));
    if (!fault)
        watchStopRequests();
    return fault;
}

std::optional<std::string> PrintService::reload()
{
    std::variant<std::vector<Caller>, std::string> callers = loadCallers(settings_.tokensFile);
    if (const std::string* fault = std::get_if<std::string>(&callers))
        return *fault + " The tokens in use are kept.";
    std::shared_ptr<asio::ssl::context> tls;
    if (!settings_.certificate.isEmpty()) {
        std::string why;
        tls = tlsContext(settings_, why);
        if (!tls)
            return why + ". The tokens, certificate and key in use are kept.";
    }
    settings_.callers = std::get<std::vector<Caller>>(std::move(callers));
    if (tls)
        door_.setTls(std::move(tls));
    return std::nullopt;
}

void PrintService::stop(bool atOnce, std::function<void()> stopped)
{
    if (atOnce) {
        logLine("stopping at once: each run stops at the ticket being sent; what the printer has not "
                "acknowledged is in doubt");
        for (const auto& [name, queue] : queues_)
            queue->stop(true);
    }
    if (stopping_)
        return;
    stopping_ = true;
    door_.stopListening();
    if (!atOnce)
        logLine("stopping: no more requests; each run stops after its current ticket");
    for (const auto& [name, queue] : queues_)
        queue->stop(atOnce);
    waitForQueues(std::move(stopped));
}

void PrintService::waitForQueues(std::function<void()> stopped)
{
    // The desk too: a claim it makes now is then queued (and, the queues
    // stopped, given back) on this thread rather than left held.
    const bool deskBusy = desk_.activeThreadCount() > 0;
    for (const auto& [name, queue] : queues_)
        if (deskBusy || !queue->ended())
            return after(std::chrono::milliseconds(50),
                         [this, stopped = std::move(stopped)]() mutable { waitForQueues(std::move(stopped)); });
    // After what the ended runs posted, such as their endings' log lines.
    boost::asio::post(io_, std::move(stopped));
}

void PrintService::after(std::chrono::milliseconds delay, std::function<void()> then)
{
    auto timer = std::make_shared<asio::steady_timer>(io_, delay);
    timer->async_wait([timer, then = std::move(then)](const boost::system::error_code& error) {
        if (!error)
            then();
    });
}

void PrintService::route(const Reply& exchange)
{
    const Route route = routeOf(exchange->call.path, exchange->call.method);
    using Kind = Route::Kind;
    exchange->route = route.kind == Kind::Unknown ? "other" : route.label;
    if (route.kind == Kind::Unknown)
        return exchange->refuse({404, "not_found", "No such resource: " + exchange->call.path.toStdString()});
    if (exchange->call.method != route.method) {
        const QByteArray allowed = route.kind == Kind::Run ? QByteArray("GET, DELETE") : route.method;
        return exchange->refuse({405, "method_not_allowed", exchange->call.path.toStdString() + " takes " +
                                                                allowed.toStdString() + " only."},
                                {{"Allow", allowed}});
    }
    if (route.kind == Kind::OpenApi)
        return openApi(exchange);
    if (route.kind == Kind::Page)
        return page(exchange);
    if (stopping_)
        return refuseStopping(exchange);
    authorised(exchange, [this, route, exchange] {
        switch (route.kind) {
        case Kind::Metrics: return metrics(exchange);
        case Kind::Health: return health(exchange);
        case Kind::Print: return print(exchange, false);
        case Kind::Nested: return print(exchange, true);
        case Kind::Runs: return runList(exchange);
        case Kind::Run: {
            const int wait = std::clamp(exchange->call.query.queryItemValue("wait").toInt(), 0, longestWait);
            return runStatus(route.run, exchange, Clock::now() + std::chrono::seconds(wait));
        }
        case Kind::Cancel: return cancel(route.run, exchange);
        case Kind::Rest: return rest(route.run, exchange);
        case Kind::Reprint: return reprint(route.run, exchange);
        case Kind::Printers: return printerList(exchange);
        case Kind::PrinterQueue: return printerQueue(route.name, exchange);
        case Kind::PrinterStatus: return printerStatus(route.name, exchange);
        case Kind::Page:
        case Kind::OpenApi:
        case Kind::Unknown: break;
        }
    });
}

void PrintService::authorised(const Reply& exchange, const std::function<void()>& then)
{
    const QByteArray scheme = "Bearer ";
    const HttpHeaders challenge{{"WWW-Authenticate", "Bearer realm=\"travcard\""}};
    const HttpCall& call = exchange->call;
    if (!call.authorization.startsWith(scheme))
        return exchange->refuse({401, "unauthorized", "A request needs the header Authorization: Bearer TOKEN."},
                                challenge);
    const Clock::time_point now = Clock::now();
    if (const std::optional<std::chrono::seconds> wait = guesses_.exhausted(call.peer, now)) {
        if (guesses_.tellLog(call.peer, now))
            logLine("too many wrong tokens from " + call.peer + "; its tokens are not looked at for a while");
        return exchange->refuse({429, "too_many_guesses",
                                 "Too many wrong tokens came from this address; try again in " +
                                     std::to_string(wait->count()) + " seconds."},
                                {{"Retry-After", QByteArray::number(static_cast<qint64>(wait->count()))}});
    }
    const QByteArray token = call.authorization.mid(scheme.size()).trimmed();
    const std::optional<std::string> caller = callerOf(settings_.callers, token.toStdString());
    if (!caller) {
        guesses_.failed(call.peer, now);
        // The same delay for every wrong token; the connection reads nothing meanwhile.
        after(wrongTokenDelay, [exchange, challenge] {
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

void PrintService::refuseStopping(const Reply& exchange)
{
    exchange->refuse({503, "stopping", "The print service is stopping."}, {{"Retry-After", "30"}});
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

}  // namespace service
