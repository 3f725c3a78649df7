#include "commands/run_json.h"

#include "exactly_once/ticket_record.h"

#include <QDateTime>
#include <QJsonArray>

std::string outcomeOf(const RunRecord& run) { return run.outcome.empty() ? "running" : run.outcome; }

std::string sentOfPlanned(const RunRecord& run)
{
    std::string sent = std::to_string(run.confirmed) + " of " + std::to_string(run.planned);
    if (run.printed > 0 && run.printed >= run.confirmed)
        sent += " (printed)";
    else if (run.printed > 0)
        sent += " (" + std::to_string(run.printed) + " printed)";
    return sent;
}

QString isoTime(std::int64_t ms)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
    const int offsetMinutes = local.offsetFromUtc() / 60;
    const int minutes = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    return local.toString("yyyy-MM-dd'T'HH:mm:ss.zzz") + (offsetMinutes < 0 ? '-' : '+') +
           QString("%1:%2").arg(minutes / 60, 2, 10, QChar('0')).arg(minutes % 60, 2, 10, QChar('0'));
}

namespace {

const char* stateName(const TicketRecord& ticket, const RunRecord& run)
{
    switch (ticket.state) {
    case TicketState::Planned: return "planned";
    case TicketState::Confirmed: return "confirmed";
    case TicketState::Sending: return run.ended ? "in doubt" : "sending";
    }
    return "planned";
}

// "printed" says the printer took every ticket; "printed_proven" that it
// also proved it printed every one.
std::string outcomeInJson(const RunRecord& run)
{
    if (run.outcome == outcomeName(RunOutcome::Printed) && run.planned > 0 && run.printed >= run.planned)
        return "printed_proven";
    return outcomeOf(run);
}

// What the ticket was built from that a person recognises it by: the part
// number and the operation's description, as the ERP gave them (padding
// aside). A nested-part label's run shares nothing.
void addPart(QJsonObject& line, const RunRecord& run, const TicketRecord& ticket)
{
    const auto add = [&line](const std::string& part, const std::string& description) {
        line.insert("part", QString::fromStdString(part).trimmed());
        line.insert("description", QString::fromStdString(description).trimmed());
    };
    if (run.shared.empty()) {
        if (const std::optional<NestedTicketData> label = decodeNestedTicket(ticket.data))
            add(label->partNo, label->operDescr);
    } else if (const std::optional<TicketData> data = decodeTicket(run.shared, ticket.data)) {
        add(data->partNo, data->operDescr);
    }
}

}  // namespace

QJsonObject runJson(const RunRecord& run, const std::vector<TicketRecord>& tickets)
{
    QJsonArray ticketStates;
    for (const TicketRecord& ticket : tickets) {
        QJsonObject line{{"position", ticket.position},
                         {"operation", QString::fromStdString(ticket.operation)},
                         {"copy", ticket.copy},
                         {"state", stateName(ticket, run)}};
        addPart(line, run, ticket);
        ticketStates.append(line);
    }
    const auto text = [](const std::string& value) { return QString::fromStdString(value); };
    return QJsonObject{{"run", static_cast<qint64>(run.id)},
                       {"time", isoTime(run.started)},
                       {"ended", run.ended ? QJsonValue(isoTime(run.ended)) : QJsonValue()},
                       {"location", text(run.location)},
                       {"order", text(run.order)},
                       {"suffix", text(run.suffix)},
                       {"operation", text(run.operation)},
                       {"quantity", text(run.quantity)},
                       {"printer", text(run.printer)},
                       {"printer_type", text(run.printerType)},
                       {"dpi", run.printerType == "ZEBRA" ? QJsonValue(run.dpi ? run.dpi : 203) : QJsonValue()},
                       {"source", text(run.source)},
                       {"request_id", run.requestId.empty() ? QJsonValue() : QJsonValue(text(run.requestId))},
                       {"station", text(run.station)},
                       {"user", text(run.user)},
                       {"planned", run.planned},
                       {"sent", run.confirmed},
                       {"in_doubt", run.inDoubt},
                       {"printed", run.printed},
                       {"outcome", text(outcomeInJson(run))},
                       {"message", text(run.message)},
                       {"tickets", ticketStates}};
}
