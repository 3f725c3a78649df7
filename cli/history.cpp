#include "cli/sub_command.h"

#include "commands/startup.h"

#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <limits>

namespace cli {
namespace {

// "K of M" as the Print History window shows it.
std::string sentOfPlanned(const RunRecord& run)
{
    return std::to_string(run.confirmed) + " of " + std::to_string(run.planned);
}

std::string outcomeOf(const RunRecord& run) { return run.outcome.empty() ? "running" : run.outcome; }

std::string localTime(std::int64_t ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString("yyyy-MM-dd HH:mm:ss").toStdString();
}

const char* stateName(const TicketRecord& ticket, const RunRecord& run)
{
    switch (ticket.state) {
    case TicketState::Planned: return "planned";
    case TicketState::Confirmed: return "confirmed";
    case TicketState::Sending: return run.ended ? "in doubt" : "sending";
    }
    return "planned";
}

QJsonObject runJson(const RunRecord& run, const std::vector<TicketRecord>& tickets)
{
    QJsonArray ticketStates;
    for (const TicketRecord& ticket : tickets)
        ticketStates.append(QJsonObject{{"position", ticket.position},
                                        {"operation", QString::fromStdString(ticket.operation)},
                                        {"copy", ticket.copy},
                                        {"state", stateName(ticket, run)}});
    const auto text = [](const std::string& value) { return QString::fromStdString(value); };
    return QJsonObject{{"run", static_cast<qint64>(run.id)},
                       {"time", text(localTime(run.started))},
                       {"location", text(run.location)},
                       {"order", text(run.order)},
                       {"suffix", text(run.suffix)},
                       {"operation", text(run.operation)},
                       {"quantity", text(run.quantity)},
                       {"printer", text(run.printer)},
                       {"printer_type", text(run.printerType)},
                       {"source", text(run.source)},
                       {"request_id", run.requestId.empty() ? QJsonValue() : QJsonValue(text(run.requestId))},
                       {"station", text(run.station)},
                       {"user", text(run.user)},
                       {"planned", run.planned},
                       {"sent", run.confirmed},
                       {"in_doubt", run.inDoubt},
                       {"outcome", text(outcomeOf(run))},
                       {"message", text(run.message)},
                       {"tickets", ticketStates}};
}

}  // namespace

int history(const QStringList& arguments, const Environment& environment)
{
    SubCommand command("history", "history [--order N] [--since YYYY-MM-DD] [--json]", arguments);
    const QCommandLineOption order("order", "Only the runs of this shop order.", "number");
    const QCommandLineOption since("since", "Only runs started on or after this day.", "YYYY-MM-DD");
    const QCommandLineOption json("json", "One JSON object per run, with its tickets and their states.");
    command.parser().addOptions({order, since, json});
    if (const std::optional<int> status = command.parse({}))
        return *status;
    StandardError messages;
    std::int64_t from = 0;
    if (command.parser().isSet(since)) {
        const QDate day = QDate::fromString(command.parser().value(since), Qt::ISODate);
        if (!day.isValid()) {
            messages.show("The day " + command.value(since) + " is not a date such as 2026-12-31.",
                          MessageIcon::Critical);
            return nothingPrinted;
        }
        from = day.startOfDay().toMSecsSinceEpoch();
    }
    const std::shared_ptr<JournalAccess> access = openStationJournal(environment.programDir, messages);
    const std::unique_ptr<Journal> journal = access->open(messages);
    if (!journal)
        return nothingPrinted;
    try {
        const std::vector<RunRecord> runs =
            journal->runs(std::numeric_limits<int>::max(), command.parser().value(order).trimmed().toStdString(), from);
        const bool asJson = command.parser().isSet(json);
        if (!asJson)
            std::fprintf(stdout, "%-19s  %-8s  %-9s  %-6s  %-9s  %-8s  %-20s  %-13s  %s\n", "Time", "Location", "Order",
                         "Suffix", "Operation", "Quantity", "Printer", "Sent", "Outcome");
        for (const RunRecord& run : runs) {
            if (asJson) {
                const QJsonObject line = runJson(run, journal->tickets(run.id));
                std::fprintf(stdout, "%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
                continue;
            }
            std::fprintf(stdout, "%-19s  %-8s  %-9s  %-6s  %-9s  %-8s  %-20s  %-13s  %s\n", localTime(run.started).c_str(),
                         run.location.c_str(), run.order.c_str(), run.suffix.c_str(), run.operation.c_str(),
                         run.quantity.c_str(), run.printer.c_str(), sentOfPlanned(run).c_str(), outcomeOf(run).c_str());
        }
    } catch (const JournalError& error) {
        access->failed(error, messages);
        return nothingPrinted;
    }
    return allSent;
}

}  // namespace cli
