// POST /v1/print, /v1/nested, /v1/runs/{run}/rest and /v1/runs/{run}/reprint:
// a place in the printer's queue, the claim in the journal, then the run
// queued and the caller answered 202 with it.

#include "service/print_service.h"

#include "exactly_once/journal_recorder.h"
#include "exactly_once/request_id.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace service {
namespace {

constexpr const char* serviceSource = "print service";
constexpr int keptEndings = 2'000;
const char* const stoppedBeforeBegun = "The print service stopped before this run began.";

QJsonObject failedAtDesk(const std::exception& error)
{
    logLine(std::string("a request failed: ") + error.what());
    return QJsonObject{{"reason", "internal"}, {"messages", QJsonArray{QString("The request failed: ") + error.what()}}};
}

}  // namespace

bool PrintService::reservePlace(const std::string& printer, const std::optional<std::string>& requestId,
                                const Reply& exchange)
{
    if (queues_.at(printer)->reserve())
        return true;
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
        exchange->send(202, body, {{"Location", runUrl(accepted.run).toUtf8()}});
        return false;
    }
    if (stopping_) {
        refuseStopping(exchange);
        return false;
    }
    exchange->refuse({503, "queue_full",
                      "The printer " + printer + " has " + std::to_string(PrinterQueue::capacity) +
                          " runs waiting; try again later."},
                     {{"Retry-After", "5"}});
    return false;
}

PrinterQueue::Job PrintService::runJob(
    const std::string& printer, std::int64_t run, const std::string& requestId,
    std::function<void(OrderRun&, const std::shared_ptr<PrintProgress>&, Answer&)> work, bool inJournal)
{
    auto progress = std::make_shared<PrintProgress>();
    PrinterQueue::Job job;
    job.run = run;
    job.progress = progress;
    job.inJournal = inJournal;
    job.work = [this, run, printer, requestId, work = std::move(work), progress, journal = journal_](OrderRun& session) {
        const auto began = std::chrono::steady_clock::now();
        DoorAnswer answer(Door::Service, noRunFields());
        try {
            if (!cancelledBeforeBegun(*journal, run, answer))
                work(session, progress, answer);
        } catch (const std::exception& error) {
            answer.refuse(std::string("The run failed: ") + error.what(), stoppedPartWay, reason::stopped);
        } catch (...) {
            answer.refuse("The run failed: an unknown exception.", stoppedPartWay, reason::stopped);
        }
        if (!answer.ended())
            answer.end(stoppedPartWay, reason::stopped);
        const auto took = std::chrono::steady_clock::now() - began;
        boost::asio::post(io_, [this, run, printer, requestId, outcome = answer.json(), took] {
            if (outcome.value("reason") == reason::returnedToQueue)
                return wentBackToQueue(run, printer, requestId);
            metrics_->runRan(took, outcome.value("printed").toInt());
            runEnded(run, printer, requestId, outcome);
        });
    };
    // A run of a shared queue that this instance drops waits on in the
    // journal, for another instance (or this one, started again).
    if (!inJournal) {
        std::shared_ptr<JournalAccess> journal = journal_;
        job.dropped = [journal, run] { releaseClaim(*journal, run, {{stoppedBeforeBegun, MessageIcon::Critical}}); };
    }
    return job;
}

void PrintService::queueRun(const std::string& printer, std::int64_t run, const QJsonObject& accepted,
                            std::function<void(OrderRun&, const std::shared_ptr<PrintProgress>&, Answer&)> work,
                            const Reply& exchange, bool inJournal)
{
    PrinterQueue& queue = *queues_.at(printer);
    const std::string requestId = accepted.value("request_id").toString().toStdString();
    const bool added = !stopping_ && queue.add(runJob(printer, run, requestId, std::move(work), inJournal));
    if (!added) {
        queue.giveBack();
        // In the shared queue, it waits in the journal whatever this instance does.
        if (!inJournal) {
            releaseRun(run, stoppedBeforeBegun);
            return refuseStopping(exchange);
        }
    }
    if (!requestId.empty() && added)
        acceptedHere_[requestId] = {run, printer, askedIn(exchange->call)};
    QJsonObject body = accepted;
    body.insert("run", static_cast<qint64>(run));
    body.insert("url", runUrl(run));
    body.insert("outcome", "queued");
    body.insert("printer", QString::fromStdString(printer));
    exchange->send(202, body, {{"Location", runUrl(run).toUtf8()}});
}

PrinterQueue::Shared PrintService::sharedQueue(const std::string& printer)
{
    PrinterQueue::Shared shared;
    std::shared_ptr<JournalAccess> journal = journal_;
    shared.take = [journal, printer](std::unique_ptr<Journal>& connection) -> std::optional<SharedRun> {
        try {
            if (!connection) {
                MessageList unseen;
                connection = journal->open(unseen);
            }
            return connection ? connection->takeShared(printer) : std::nullopt;
        } catch (const JournalError& error) {
            // Read again at the next turn, on a new connection.
            logLine(std::string("the shared queue of ") + printer + " cannot be read: " + error.what());
            connection.reset();
            return std::nullopt;
        }
    };
    shared.jobFor = [this, printer](const SharedRun& taken) { return sharedJob(printer, taken); };
    shared.giveBack = [](std::unique_ptr<Journal>& connection, std::int64_t run) {
        try {
            if (connection)
                connection->returnShared(run);
        } catch (const JournalError&) {
            // Its lease expires with this program: then it waits again.
        }
    };
    shared.movedAway = [this](std::int64_t run) {
        boost::asio::post(io_, [this, run] {
            std::erase_if(acceptedHere_, [run](const auto& accepted) { return accepted.second.run == run; });
        });
    };
    return shared;
}

namespace {

// A print as the shared queue keeps it: what any instance needs to print it.
std::string sharedRequest(bool nested, const std::string& caller, const QByteArray& body)
{
    return QJsonDocument(QJsonObject{{"kind", nested ? "nested" : "print"},
                                     {"caller", QString::fromStdString(caller)},
                                     {"body", QString::fromUtf8(body)}})
        .toJson(QJsonDocument::Compact)
        .toStdString();
}

// The claimed run waits in the shared queue; one the journal refuses to
// queue is given back, and the request fails.
void queueShared(JournalAccess& journal, std::int64_t run, const std::string& printer, const std::string& request)
{
    try {
        MessageList unseen;
        const std::unique_ptr<Journal> connection = journal.open(unseen);
        if (!connection)
            throw JournalError("The print journal cannot be opened.");
        connection->queueShared(run, printer, request);
    } catch (const JournalError& error) {
        releaseClaim(journal, run, {{error.what(), MessageIcon::Critical}});
        throw;
    }
}

}  // namespace

PrinterQueue::Job PrintService::sharedJob(const std::string& printer, const SharedRun& taken)
{
    const QJsonObject request = QJsonDocument::fromJson(QByteArray::fromStdString(taken.request)).object();
    const bool nested = request.value("kind") == "nested";
    std::variant<PrintAsk, Refusal> decoded =
        decodePrint(request.value("body").toString().toUtf8(), settings_.printers, nested);
    std::shared_ptr<JournalAccess> journal = journal_;
    const std::int64_t run = taken.run;
    if (const Refusal* refused = std::get_if<Refusal>(&decoded)) {
        // Accepted by an instance whose printers differ from this one's.
        const std::string why = "This service cannot print the request: " + refused->message;
        return runJob(
            printer, run, {},
            [journal, run, why](OrderRun&, const std::shared_ptr<PrintProgress>&, Answer& answer) {
                releaseClaim(*journal, run, {{why, MessageIcon::Critical}});
                answer.refuse(why, nothingPrinted, reason::badOption);
            },
            true);
    }
    PrintAsk ask = std::get<PrintAsk>(std::move(decoded));
    ask.order.user = request.value("caller").toString().toStdString();
    ask.order.source = nested ? std::string(serviceSource) + ", nested part" : serviceSource;
    const std::string requestId = ask.order.requestId.value_or(std::string());
    return runJob(printer, run, requestId,
                  [ask, journal, nested, run](OrderRun& session, const std::shared_ptr<PrintProgress>& progress,
                                              Answer& answer) {
                      if (nested)
                          printNestedCard(session, ask.order, *ask.nested, journal, progress, run, answer);
                      else
                          printOrder(session, ask.order, journal, progress, run, answer);
                  },
                  true);
}

void PrintService::runEnded(std::int64_t run, const std::string& printer, const std::string& requestId,
                            const QJsonObject& outcome)
{
    metrics_->runEnded(outcome);
    forget(run, requestId);
    endings_[run] = outcome;
    while (static_cast<int>(endings_.size()) > keptEndings)
        endings_.erase(endings_.begin());
    const QJsonArray messages = outcome.value("messages").toArray();
    logLine("run " + std::to_string(run) + (requestId.empty() ? "" : " request_id " + requestId) + " to " + printer +
            ": " + jsonText(outcome.value("reason")) + ", " + jsonText(outcome.value("sent")) + " of " +
            jsonText(outcome.value("planned")) + " sent" +
            (messages.isEmpty() ? std::string() : "; " + messages.last().toString().toStdString()));
}

// Neither ended nor counted here: how it ends is read from the journal.
void PrintService::wentBackToQueue(std::int64_t run, const std::string& printer, const std::string& requestId)
{
    forget(run, requestId);
    logLine("run " + std::to_string(run) + (requestId.empty() ? "" : " request_id " + requestId) + " to " + printer +
            ": went back to the shared queue as this service stops, before it sent anything");
}

void PrintService::forget(std::int64_t run, const std::string& requestId)
{
    seenRuns_.erase(run);
    if (const auto accepted = acceptedHere_.find(requestId); accepted != acceptedHere_.end() && accepted->second.run == run)
        acceptedHere_.erase(accepted);
}

void PrintService::print(const Reply& exchange, bool nested)
{
    std::variant<PrintAsk, Refusal> decoded = decodePrint(exchange->call.body, settings_.printers, nested);
    if (const Refusal* refused = std::get_if<Refusal>(&decoded))
        return exchange->refuse(*refused);
    PrintAsk ask = std::get<PrintAsk>(std::move(decoded));
    ask.order.user = exchange->caller;
    ask.order.source = nested ? std::string(serviceSource) + ", nested part" : serviceSource;
    if (!reservePlace(ask.printerName, ask.order.requestId, exchange))
        return;
    struct Claim {
        std::int64_t run = 0;
        int status = 0;
        QJsonObject answer;
    };
    std::shared_ptr<JournalAccess> journal = journal_;
    const std::optional<std::string> shared =
        sharedQueue_ ? std::optional(sharedRequest(nested, exchange->caller, exchange->call.body)) : std::nullopt;
    atDesk<Claim>(
        [journal, ask, shared] {
            try {
                DoorAnswer answer(Door::Service, noRunFields());
                const std::variant<std::int64_t, int> claim =
                    claimFor(*journal, claimedStart(ask.order, ask.nested), answer);
                if (const std::int64_t* run = std::get_if<std::int64_t>(&claim)) {
                    if (shared)
                        queueShared(*journal, *run, ask.printerName, *shared);
                    return Claim{*run, 0, {}};
                }
                // Held by a run that still prints (here or elsewhere): 202, as when it was accepted.
                const int status = answer.why() == reason::requestInProgress ? 202 : httpStatusOf(answer);
                return Claim{0, status, answer.json()};
            } catch (const std::exception& error) {
                // Answered, and the queue's place given back, on the door's thread.
                return Claim{0, 500, failedAtDesk(error)};
            }
        },
        [this, ask, exchange, journal, nested, shared](Claim claim) {
            if (!claim.run) {
                queues_.at(ask.printerName)->giveBack();
                return exchange->answer(claim.answer, claim.status);
            }
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
                exchange, shared.has_value());
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
    if (!reservePlace(printer, requestId, exchange))
        return;
    // A request id held by a run that still prints answers 202, as when it was accepted.
    const bool keyed = requestId.has_value();
    struct Planned {
        ReprintRequest request;  // its journalRun 0: answered instead
        int status = 0;
        QJsonObject answer;
    };
    atDesk<Planned>(
        [plan = std::move(plan), keyed] {
            try {
                DoorAnswer answer(Door::Service, noRunFields());
                ReprintRequest request = plan(answer);
                if (request.journalRun)
                    return Planned{std::move(request), 0, {}};
                const bool held = keyed && answer.why() == reason::requestInProgress;
                return Planned{{}, held ? 202 : httpStatusOf(answer), answer.json()};
            } catch (const std::exception& error) {
                return Planned{{}, 500, failedAtDesk(error)};
            }
        },
        [this, exchange, printer, againOf, requestId](Planned planned) {
            if (!planned.request.journalRun) {
                queues_.at(printer)->giveBack();
                return exchange->answer(planned.answer, planned.status);
            }
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

}  // namespace service
