// GET /v1/runs/{run}[?wait=N] and GET /v1/runs: runs as the journal has
// them, with how a run that ended here ended.

#include "service/print_service.h"

#include "commands/run_json.h"
#include "exactly_once/cups_runs.h"
#include "exactly_once/journal_recorder.h"
#include "exactly_once/request_id.h"

#include <QDate>
#include <QDateTime>
#include <QJsonArray>

namespace service {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int keptRecords = 2'000;
constexpr auto runPoll = std::chrono::milliseconds(250);
constexpr int longestPage = 500;
constexpr auto stopRequestPoll = std::chrono::seconds(1);

std::optional<int> pageLimit(const QUrlQuery& query)
{
    if (!query.hasQueryItem("limit"))
        return 100;
    bool number = false;
    const int limit = query.queryItemValue("limit").toInt(&number);
    return number && limit >= 1 && limit <= longestPage ? std::optional(limit) : std::nullopt;
}

// The same list from the run before last on.
QString nextPage(QUrlQuery query, int limit, std::int64_t last)
{
    query.removeAllQueryItems("limit");
    query.removeAllQueryItems("before");
    query.addQueryItem("limit", QString::number(limit));
    query.addQueryItem("before", QString::number(last));
    return "/v1/runs?" + query.toString(QUrl::FullyEncoded);
}

}  // namespace

void PrintService::runStatus(std::int64_t run, const Reply& exchange, Clock::time_point until)
{
    const auto again = [this, run, exchange, until] { runStatus(run, exchange, until); };
    const auto answer = [this, run, exchange, until, again](SeenRun seen) {
        if (!seen.ended && Clock::now() + runPoll <= until && exchange->connected() && !stopping_) {
            if (!sharedQueue_)
                return after(runPoll, again);
            auto woken = std::make_shared<bool>(false);
            auto next = [again, woken] {
                if (!std::exchange(*woken, true))
                    again();
            };
            std::vector<Waiter>& waiting = runWaiters_[run];
            std::erase_if(waiting, [](const Waiter& waiter) { return *waiter.woken; });
            waiting.push_back({woken, next});
            return after(runPoll, next);
        }
        if (const auto waiting = runWaiters_.find(run); waiting != runWaiters_.end()) {
            std::erase_if(waiting->second, [](const Waiter& waiter) { return *waiter.woken; });
            if (waiting->second.empty())
                runWaiters_.erase(waiting);
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
        if (seen->second.settled)
            return answer(seen->second);
        const auto age = Clock::now() - seen->second.read;
        if (age < runPoll)
            return after(std::chrono::duration_cast<std::chrono::milliseconds>(runPoll - age) +
                             std::chrono::milliseconds(1),
                         again);
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
            settleCupsRuns(*connection, run);
            const std::optional<RunRecord> record = connection->run(run);
            if (!record)
                return Read{};
            // A cups: run in doubt may yet be settled by its job: it is read again.
            const bool settled = record->ended != 0 && !(record->inDoubt > 0 && record->printer.starts_with("cups:"));
            QJsonObject json = runJson(*record, connection->tickets(run));
            if (record->queued)
                json.insert("outcome", "queued");
            return Read{true, {json, record->ended != 0, Clock::now(), settled}};
        },
        [this, run, exchange, answer](Read read) {
            if (!read.found)
                return exchange->refuse({404, reason::notFound, "No run " + std::to_string(run) +
                                                                    " is in the print journal."});
            if (seenRuns_.size() >= keptRecords)
                seenRuns_.erase(seenRuns_.begin());
            seenRuns_[run] = read.seen;
            answer(read.seen);
        });
}

void PrintService::runEndedElsewhere(std::int64_t run)
{
    if (const auto seen = seenRuns_.find(run); seen != seenRuns_.end() && !seen->second.settled)
        seenRuns_.erase(seen);
    const auto waiting = runWaiters_.find(run);
    if (waiting == runWaiters_.end())
        return;
    const std::vector<Waiter> woken = std::move(waiting->second);
    runWaiters_.erase(waiting);
    for (const Waiter& waiter : woken)
        waiter.wake();
}

void PrintService::runList(const Reply& exchange)
{
    const QUrlQuery& query = exchange->call.query;
    const std::string order = query.queryItemValue("order", QUrl::FullyDecoded).trimmed().toStdString();
    const QString requestId = query.queryItemValue("request_id", QUrl::FullyDecoded).trimmed();
    // Without station, every station's runs, as before stations were asked.
    const QString station = query.queryItemValue("station", QUrl::FullyDecoded).trimmed();
    if (query.hasQueryItem("station") && station.isEmpty())
        return exchange->refuse({400, reason::badOption, "station is a station's name, or all."});
    const std::string stationAsked = station == "all" ? std::string() : station.toStdString();
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
    const std::optional<int> limit = pageLimit(query);
    const std::optional<std::int64_t> before =
        query.hasQueryItem("before") ? runNumber(query.queryItemValue("before")) : std::optional<std::int64_t>(0);
    if (!limit || !before)
        return exchange->refuse({400, reason::badOption, "limit is a number from 1 to " + std::to_string(longestPage) +
                                                             ", and before a run's number."});
    std::shared_ptr<JournalAccess> journal = journal_;
    atDesk<QJsonObject>(
        [journal, order, requestId, since, stationAsked, limit = *limit, before = *before, query] {
            MessageList unseen;
            const std::unique_ptr<Journal> connection = journal->open(unseen);
            if (!connection)
                throw JournalError("The print journal cannot be opened.");
            std::vector<RunRecord> runs;
            if (!requestId.isEmpty()) {
                if (std::optional<RunRecord> held = connection->runWithRequest(requestId.toStdString()))
                    runs.push_back(std::move(*held));
            } else {
                runs = connection->runs(limit, order, since, before, stationAsked);
            }
            QJsonArray listed;
            for (const RunRecord& run : runs) {
                QJsonObject line = runJson(run, {});
                line.remove("tickets");
                if (run.queued)
                    line.insert("outcome", "queued");
                line.insert("url", runUrl(run.id));
                listed.append(line);
            }
            QJsonObject page{{"runs", listed}};
            if (static_cast<int>(runs.size()) == limit && requestId.isEmpty())
                page.insert("next", nextPage(query, limit, runs.back().id));
            return page;
        },
        [this, exchange](QJsonObject listed) {
            // A run that waits in a queue here has not begun: as GET /v1/runs/{run} says.
            QJsonArray runs = listed.value("runs").toArray();
            for (QJsonValueRef run : runs) {
                QJsonObject line = run.toObject();
                if (line.value("outcome") == "running" && waitingHere(line.value("run").toInteger())) {
                    line.insert("outcome", "queued");
                    run = line;
                }
            }
            listed.insert("runs", runs);
            exchange->send(200, listed);
        });
}

void PrintService::cancel(std::int64_t run, const Reply& exchange)
{
    // Print the Rest and Reprint wait here alone, shared or not.
    for (const auto& [name, queue] : queues_)
        if (!(sharedQueue_ && queue->holdsInJournal(run)) && queue->withdraw(run))
            return cancelQueued(run, name, exchange);
    if (!sharedQueue_)
        return askToStop(run, exchange);
    // Waiting in the shared queue, for any instance: cancelled there.
    std::shared_ptr<JournalAccess> journal = journal_;
    atDesk<QJsonObject>(
        [journal, run] {
            DoorAnswer answer(Door::Service, noRunFields());
            return cancelUnbegun(*journal, run, answer, true) ? answer.json() : QJsonObject();
        },
        [this, exchange, run](QJsonObject outcome) {
            if (outcome.isEmpty())
                return askToStop(run, exchange);
            for (const auto& [name, queue] : queues_)
                if (queue->withdraw(run))
                    runEnded(run, name, requestIdOf(run), outcome);
            logLine("run " + std::to_string(run) + " cancelled before it began");
            exchange->send(200, QJsonObject{{"run", static_cast<qint64>(run)}, {"url", runUrl(run)},
                                            {"outcome", "cancelled"}});
        });
}

// Printing, here or elsewhere (a station, another program): asked through
// the journal, which the run reads between tickets, so that one stopped
// before its first ticket keeps its request id.
void PrintService::askToStop(std::int64_t run, const Reply& exchange)
{
    std::shared_ptr<JournalAccess> journal = journal_;
    atDesk<Journal::StopAsk>(
        [journal, run] {
            MessageList unseen;
            const std::unique_ptr<Journal> connection = journal->open(unseen);
            if (!connection)
                throw JournalError("The print journal cannot be opened.");
            return connection->askStop(run);
        },
        [this, exchange, run](Journal::StopAsk asked) {
            const std::string number = std::to_string(run);
            switch (asked) {
            case Journal::StopAsk::Asked:
                // Here, without waiting for the run's next read of the journal.
                for (const auto& [name, queue] : queues_)
                    if (queue->cancelRunning(run))
                        logLine("run " + number + " cancelled by " + exchange->caller +
                                ": it stops after the ticket the printer takes");
                return exchange->send(202, QJsonObject{{"run", static_cast<qint64>(run)},
                                                       {"url", runUrl(run)},
                                                       {"outcome", "stopping"}});
            case Journal::StopAsk::Ended:
                return exchange->refuse({409, reason::runEnded, "Run " + number + " has ended."});
            case Journal::StopAsk::Unknown: break;
            }
            exchange->refuse({404, reason::notFound, "No run " + number + " is in the print journal."});
        });
}

std::string PrintService::requestIdOf(std::int64_t run) const
{
    for (const auto& [id, accepted] : acceptedHere_)
        if (accepted.run == run)
            return id;
    return {};
}

void PrintService::cancelQueued(std::int64_t run, const std::string& printer, const Reply& exchange)
{
    const std::string requestId = requestIdOf(run);
    logLine("run " + std::to_string(run) + " cancelled before it began");
    std::shared_ptr<JournalAccess> journal = journal_;
    atDesk<QJsonObject>(
        [journal, run] {
            DoorAnswer answer(Door::Service, noRunFields());
            cancelUnbegun(*journal, run, answer);
            return answer.json();
        },
        [this, exchange, run, printer, requestId](QJsonObject outcome) {
            runEnded(run, printer, requestId, outcome);
            if (exchange)
                exchange->send(200, QJsonObject{{"run", static_cast<qint64>(run)},
                                                {"url", runUrl(run)},
                                                {"outcome", "cancelled"}});
        });
}

void PrintService::watchStopRequests()
{
    after(stopRequestPoll, [this] {
        if (stopping_)
            return;
        // Shared, a run of the plant's queue may be asked at any time.
        const bool anyWaiting = sharedQueue_ || std::any_of(queues_.begin(), queues_.end(), [](const auto& queue) {
                                    return queue.second->waiting() > 0;
                                });
        if (!anyWaiting)
            return watchStopRequests();
        std::shared_ptr<JournalAccess> journal = journal_;
        using Cancelled = std::vector<std::pair<std::int64_t, QJsonObject>>;  // with its answer, when cancelled here
        atDesk<Cancelled>(
            [journal, shared = sharedQueue_] {
                Cancelled asked;
                // A journal that refuses now is read again at the next turn.
                try {
                    MessageList unseen;
                    const std::unique_ptr<Journal> connection = journal->open(unseen);
                    for (const std::int64_t run : connection ? connection->runsAskedToStop() : std::vector<std::int64_t>{}) {
                        DoorAnswer answer(Door::Service, noRunFields());
                        if (!shared)
                            asked.emplace_back(run, QJsonObject());
                        else if (cancelUnbegun(*journal, run, answer, true))
                            asked.emplace_back(run, answer.json());
                    }
                } catch (const JournalError&) {
                }
                return asked;
            },
            [this](Cancelled asked) {
                for (const auto& [run, outcome] : asked)
                    for (const auto& [name, queue] : queues_)
                        if (queue->withdraw(run)) {
                            if (outcome.isEmpty())
                                cancelQueued(run, name, nullptr);
                            else
                                runEnded(run, name, requestIdOf(run), outcome);
                        }
                watchStopRequests();
            });
    });
}

}  // namespace service
