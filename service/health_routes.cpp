// GET /v1/health: whether the database answers and the journal takes
// writes, with the queues' depth and this station's name (as its runs
// record it: the status page lists this station's runs by it). The check
// has a deadline: a database that hangs is unreachable after it, and a
// check never waits behind another.

#include "service/print_service.h"

#include "exactly_once/journal_recorder.h"
#include "journal/station_name.h"

#include <QDateTime>
#include <QJsonArray>

namespace service {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto healthDeadline = std::chrono::seconds(5);

QJsonValue checkedAt(std::int64_t msSinceEpoch)
{
    if (msSinceEpoch == 0)
        return QJsonValue::Null;
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch).toOffsetFromUtc(0).toString(Qt::ISODateWithMs);
}

}  // namespace

void PrintService::health(const Reply& exchange)
{
    QJsonObject queues;
    int depth = 0;
    for (const auto& [name, queue] : queues_) {
        const int waiting = queue->waiting();
        depth += waiting;
        queues.insert(QString::fromStdString(name), QJsonObject{{"waiting", waiting}, {"printing", queue->busy()}});
    }
    const std::shared_ptr<HealthCheck> check = health_;
    const auto respond = [exchange, queues, depth](QJsonObject health) {
        health.insert("queues", queues);
        health.insert("queue_depth", depth);
        health.insert("station", stationName());
        const bool healthy = health.value("database").toBool() && health.value("journal").toBool();
        if (!healthy && !health.contains("reason"))
            health.insert("reason", health.value("database").toBool() ? reason::journalUnusable
                                                                       : reason::databaseUnreachable);
        exchange->send(healthy ? 200 : 503, health, healthy ? HttpHeaders{} : HttpHeaders{{"Retry-After", "5"}});
    };
    const auto unreachable = [check](const std::string& message) {
        return QJsonObject{{"database", false},
                           {"journal", check->lastJournal == 1},
                           {"reason", reason::databaseUnreachable},
                           {"database_checked", checkedAt(check->lastEnded)},
                           {"messages", QJsonArray{QString::fromStdString(message)}}};
    };
    // A check that comes while one runs is answered with that check's
    // result, or as unreachable once it has run past the deadline: never
    // with an older result, which may say the database answered.
    healthWaiting_.push_back(respond);
    if (check->running) {
        if (Clock::now() - check->began >= healthDeadline)
            tellHealth(unreachable("The database has not answered the health check for " +
                                   std::to_string(healthDeadline.count()) + " seconds."));
        return;
    }
    check->running = true;
    check->began = Clock::now();
    std::shared_ptr<JournalAccess> journal = journal_;
    runOn<QJsonObject>(
        healthCheckers_,
        [journal, check] {
            // Whatever happens, the check has ended: a later one may start.
            struct Ended {
                HealthCheck& check;
                ~Ended() { check.running = false; }
            } ended{*check};
            MessageList messages;
            bool database = false;
            // One session, kept: a connection for every check would cost
            // the driver's memory each time.
            {
                const std::lock_guard lock(check->guard);
                if (!check->session.isOpen()) {
                    database = openDatabase(check->session, messages);
                } else {
                    try {
                        check->session.query("select * from PUBLIC.ITMMAS_BASE", {}, {.maxRows = 1});
                        database = true;
                    } catch (const odbc::Error& error) {
                        messages.show(odbc::describe(error), MessageIcon::Critical);
                        check->session.close();
                    }
                }
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
            check->lastKnown = database ? 1 : 0;
            check->lastJournal = writable ? 1 : 0;
            check->lastEnded = QDateTime::currentMSecsSinceEpoch();
            QJsonArray texts;
            for (const Message& message : messages.shown)
                texts.append(QString::fromStdString(message.text));
            return QJsonObject{{"database", database},
                               {"journal", writable},
                               {"database_checked", checkedAt(check->lastEnded)},
                               {"messages", texts}};
        },
        [this](QJsonObject health) { tellHealth(health); });
    after(healthDeadline, [this, check, began = check->began, unreachable] {
        if (check->running && check->began == began)
            tellHealth(unreachable("The database did not answer the health check within " +
                                   std::to_string(healthDeadline.count()) + " seconds."));
    });
}

void PrintService::tellHealth(const QJsonObject& health)
{
    for (const std::function<void(QJsonObject)>& respond : std::exchange(healthWaiting_, {}))
        respond(health);
}

}  // namespace service
