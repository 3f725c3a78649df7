// GET /v1/printers, /v1/printers/{name}/queue and /v1/printers/{name}/status:
// the service's printers with their queues, and a printer asked whether it
// can take a job now, on threads of their own (a silent printer takes seconds).

#include "service/print_service.h"

#include "commands/check_printer.h"
#include "commands/run_json.h"

#include <QDateTime>
#include <QJsonArray>
#include <QUrl>

namespace service {
namespace {

// What kind of destination PRINTER= names, and for a network printer its
// host: never a path, a queue's name or anything a URL may carry besides.
QJsonObject destinationOf(const std::string& name)
{
    const QString text = QString::fromStdString(name);
    if (text.startsWith("socket://"))
        return {{"kind", "socket"}, {"host", QUrl(text).host()}};
    if (text.startsWith("cups:"))
        return {{"kind", "cups"}};
    if (text.startsWith("preview:"))
        return {{"kind", "preview"}};
    return {{"kind", text.startsWith("/dev/") ? "device" : "file"}};
}

QJsonValue runLink(std::int64_t run)
{
    if (!run)
        return QJsonValue::Null;
    return QJsonObject{{"run", static_cast<qint64>(run)}, {"url", runUrl(run)}};
}

}  // namespace

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
        [this, exchange, name](QJsonObject status) {
            status.insert("name", QString::fromStdString(name));
            lastStatus_[name] = {status, isoTime(QDateTime::currentMSecsSinceEpoch())};
            exchange->send(200, status);
        });
}

void PrintService::printerList(const Reply& exchange)
{
    QJsonArray printers;
    for (const auto& [name, printer] : settings_.printers) {
        const PrinterQueue::Contents queue = queues_.at(name)->contents();
        const bool zebra = printer.kind == PrinterKind::Zebra;
        QJsonObject line{{"name", QString::fromStdString(name)},
                         {"type", zebra ? "zebra" : "epson"},
                         {"destination", destinationOf(printer.name)},
                         {"queued", static_cast<int>(queue.waiting.size())},
                         {"printing", runLink(queue.printing)},
                         {"status", QJsonValue::Null},
                         {"status_read", QJsonValue::Null}};
        if (zebra)
            line.insert("dpi", printer.resolution.detect ? QJsonValue("auto") : QJsonValue(printer.resolution.dpi));
        if (const auto last = lastStatus_.find(name); last != lastStatus_.end()) {
            line.insert("status", last->second.status);
            line.insert("status_read", last->second.read);
        }
        printers.append(line);
    }
    exchange->send(200, QJsonObject{{"printers", printers}});
}

void PrintService::printerQueue(const std::string& name, const Reply& exchange)
{
    const auto found = queues_.find(name);
    if (found == queues_.end())
        return exchange->refuse({404, "unknown_printer", "The service has no printer named " + name + "."});
    const PrinterQueue::Contents queue = found->second->contents();
    std::shared_ptr<JournalAccess> journal = journal_;
    atDesk<QJsonObject>(
        [journal, queue, name] {
            MessageList unseen;
            const std::unique_ptr<Journal> connection = journal->open(unseen);
            if (!connection)
                throw JournalError("The print journal cannot be opened.");
            const auto line = [&connection](std::int64_t run) -> QJsonValue {
                const std::optional<RunRecord> record = run ? connection->run(run) : std::nullopt;
                if (!record)
                    return QJsonValue::Null;
                QJsonObject json = runJson(*record, {});
                json.remove("tickets");
                json.insert("url", runUrl(run));
                return json;
            };
            QJsonArray waiting;
            for (const std::int64_t run : queue.waiting)
                if (const QJsonValue json = line(run); json.isObject())
                    waiting.append(json);
            return QJsonObject{{"printer", QString::fromStdString(name)},
                               {"printing", line(queue.printing)},
                               {"runs", waiting}};
        },
        [exchange](QJsonObject listed) { exchange->send(200, listed); });
}

}  // namespace service
