#include "exactly_once/answer.h"

#include "exactly_once/journal_recorder.h"

#include <QJsonArray>

#include <algorithm>

int Answer::end(int status, const char* why, QJsonObject fields)
{
    for (auto field = base_.begin(); field != base_.end(); ++field)
        if (!fields.contains(field.key()))
            fields.insert(field.key(), field.value());
    fields_ = std::move(fields);
    ended_ = true;
    status_ = status;
    why_ = why;
    ending();
    return status;
}

int Answer::refuse(const std::string& text, int status, const char* why, MessageIcon icon)
{
    messages.show(text, icon);
    return end(status, why);
}

QJsonObject Answer::json() const
{
    QJsonArray texts;
    for (const Message& message : messages.shown)
        texts.append(QString::fromStdString(message.text));
    QJsonObject fields = fields_;
    fields.insert("exit_status", status_);
    fields.insert("reason", QString::fromStdString(why_));
    fields.insert("messages", texts);
    return fields;
}

const char* outcomeName(PrintEnding outcome)
{
    switch (outcome) {
    case PrintEnding::Printed: return "printed";
    case PrintEnding::Refused: return "refused";
    case PrintEnding::DatabaseFault: return "database fault";
    case PrintEnding::PrinterFault: return "printer fault";
    case PrintEnding::Stopped: return "stopped";
    }
    return "stopped";
}

std::optional<RunRecord> recordOf(const std::shared_ptr<JournalAccess>& journal, std::int64_t run)
{
    if (!journal || !run)
        return std::nullopt;
    MessageList unseen;  // the access has told of its failure once already
    const std::unique_ptr<Journal> connection = journal->open(unseen);
    try {
        return connection ? connection->run(run) : std::nullopt;
    } catch (const JournalError&) {
        return std::nullopt;
    }
}

QJsonObject runFields(const char* outcome, const TicketCount& tickets, const std::optional<RunRecord>& record)
{
    return QJsonObject{{"run", record ? QJsonValue(static_cast<qint64>(record->id)) : QJsonValue()},
                       {"planned", tickets.planned == 0 && record ? record->planned : tickets.planned},
                       {"sent", tickets.sent},
                       {"in_doubt", record ? record->inDoubt : 0},
                       {"printed", record ? record->printed : 0},
                       {"outcome", outcome}};
}

QJsonObject noRunFields(const char* outcome) { return runFields(outcome, {}, std::nullopt); }

std::optional<int> strictCount(const QString& typed, int most)
{
    if (typed.isEmpty() || typed.size() > 9 ||
        !std::all_of(typed.begin(), typed.end(), [](QChar c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const int value = typed.toInt();
    if (value < 1 || value > most)
        return std::nullopt;
    return value;
}

RunEnding runEnding(PrintEnding outcome, bool journalRefused, const TicketCount& tickets)
{
    if (journalRefused)
        return {tickets.sent == 0 ? int(nothingPrinted) : int(stoppedPartWay), reason::journalUnusable};
    switch (outcome) {
    case PrintEnding::Printed: return {allSent, reason::printed};
    case PrintEnding::Refused: return {nothingPrinted, reason::notFound};
    case PrintEnding::DatabaseFault: return {databaseFault, reason::databaseUnreachable};
    case PrintEnding::PrinterFault: return {printerFault, reason::printerUnavailable};
    case PrintEnding::Stopped: return {stoppedPartWay, reason::stopped};
    }
    return {stoppedPartWay, reason::stopped};
}
