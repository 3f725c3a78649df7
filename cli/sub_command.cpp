#include "cli/sub_command.h"

#include "commands/order_lookup.h"
#include "commands/startup.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace cli {
namespace {

std::atomic<bool> printing{false};  // a sub-command that prints runs
std::atomic<bool> stopAsked{false};
std::atomic<PrintProgress*> runningPrint{nullptr};

}  // namespace

std::optional<PrinterSettings> printerSettings(const SubCommand& command, const PrinterOptions& options,
                                               const Environment& environment, MessageBox& messages)
{
    std::optional<PrinterSettings> settings = loadPrinterSettings(environment.programDir, messages);
    if (!settings)
        return std::nullopt;
    if (command.parser().isSet(options.printer))
        settings->name = command.value(options.printer);
    if (command.parser().isSet(options.type)) {
        const QString type = command.parser().value(options.type).toLower();
        if (type != "zebra" && type != "epson") {
            messages.show("The printer type " + command.value(options.type) + " is not known: use zebra or epson.",
                          MessageIcon::Critical);
            return std::nullopt;
        }
        settings->kind = type == "zebra" ? PrinterKind::Zebra : PrinterKind::Epson;
    }
    return settings;
}

std::variant<PrinterSettings, int> printerSettings(const SubCommand& command, const PrinterOptions& options,
                                                   const Environment& environment, Answer& answer)
{
    if (command.parser().isSet(options.type)) {
        const QString type = command.parser().value(options.type).toLower();
        if (type != "zebra" && type != "epson")
            return answer.refuse("The printer type " + command.value(options.type) +
                                     " is not known: use zebra or epson.",
                                 nothingPrinted, reason::badOption);
    }
    std::optional<PrinterSettings> settings = printerSettings(command, options, environment, answer.messages);
    if (!settings)
        return answer.end(nothingPrinted, reason::configUnusable);
    return *settings;
}

int exitStatus(PrintEnding outcome)
{
    switch (outcome) {
    case PrintEnding::Printed: return allSent;
    case PrintEnding::Refused: return nothingPrinted;
    case PrintEnding::DatabaseFault: return databaseFault;
    case PrintEnding::PrinterFault: return printerFault;
    case PrintEnding::Stopped: return stoppedPartWay;
    }
    return stoppedPartWay;
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

// The journal's record of a run, read afresh; nothing without a journal.
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

void writeJsonOutcome(QJsonObject fields, int status, const char* why, const std::vector<Message>& messages)
{
    QJsonArray texts;
    for (const Message& message : messages)
        texts.append(QString::fromStdString(message.text));
    fields.insert("exit_status", status);
    fields.insert("reason", why);
    fields.insert("messages", texts);
    std::fprintf(stdout, "%s\n", QJsonDocument(fields).toJson(QJsonDocument::Compact).constData());
}

int Answer::end(int status, const char* why, QJsonObject fields)
{
    if (!json_)
        return status;
    for (auto field = base_.begin(); field != base_.end(); ++field)
        if (!fields.contains(field.key()))
            fields.insert(field.key(), field.value());
    writeJsonOutcome(std::move(fields), status, why, messages.shown);
    return status;
}

int Answer::refuse(const std::string& text, int status, const char* why, MessageIcon icon)
{
    messages.show(text, icon);
    return end(status, why);
}

int SubCommand::refuse(const QString& fault) const
{
    std::fprintf(stderr, "travcard %s: %s\nUsage: travcard %s\n", qPrintable(name_), qPrintable(fault),
                 qPrintable(synopsis_));
    if (wantsJson())
        writeJsonOutcome({}, wrongCommandLine, reason::badOption,
                         {{"travcard " + name_.toStdString() + ": " + fault.toStdString(), MessageIcon::Critical}});
    return wrongCommandLine;
}

bool SubCommand::wantsJson() const
{
    for (const QString& argument : arguments_.mid(1)) {
        if (argument == "--")
            return false;
        if (argument == "--json" || argument == "-json")
            return true;
    }
    return false;
}

QJsonObject runFields(const char* outcome, const TicketCount& tickets, const std::optional<RunRecord>& record)
{
    return QJsonObject{{"run", record ? QJsonValue(static_cast<qint64>(record->id)) : QJsonValue()},
                       {"planned", tickets.planned == 0 && record ? record->planned : tickets.planned},
                       {"sent", tickets.sent},
                       {"in_doubt", record ? record->inDoubt : 0},
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

std::optional<std::int64_t> runOption(const SubCommand& command, const QCommandLineOption& option)
{
    const QString typed = command.parser().value(option);
    bool whole = !typed.isEmpty() && std::all_of(typed.begin(), typed.end(), [](QChar c) { return c >= '0' && c <= '9'; });
    const qint64 number = whole ? typed.toLongLong(&whole) : 0;
    return whole && number > 0 ? std::optional<std::int64_t>(number) : std::nullopt;
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

WatchedPrint::WatchedPrint() : progress_(std::make_shared<PrintProgress>())
{
    runningPrint = progress_.get();
    if (stopAsked)
        progress_->cancel();
}

WatchedPrint::~WatchedPrint() { runningPrint = nullptr; }

OrderRun::OrderRun(const Environment& environment) : commands_(receiver_)
{
    commands_.setDatabaseTimeout(environment.databaseTimeout);
}

std::variant<OrderHeader, int> OrderRun::locate(const OrderSelection& order, Answer& answer)
{
    const auto opened = commands_.runAndWait<OpenDatabaseResult>(
        [](DatabaseSession& db, std::stop_token) { return openDatabaseCommand(db); });
    answer.messages.showAll(opened->messages);
    if (!opened->opened)
        return answer.end(databaseFault, reason::databaseUnreachable, {{"outcome", "database fault"}});
    const LocateRequest request{order};
    const auto located = commands_.runAndWait<LocateResult>(
        [request](DatabaseSession& db, std::stop_token) { return locateOrder(db, request); });
    answer.messages.showAll(located->messages);
    using Outcome = LocateResult::Outcome;
    if (located->outcome == Outcome::Failed)
        return answer.end(databaseFault, reason::databaseUnreachable, {{"outcome", "database fault"}});
    if (!located->header)
        return answer.end(nothingPrinted, reason::notFound);
    return *located->header;
}

OrderSelection orderSelection(const SubCommand& command, const OrderOptions& options)
{
    return selectOrder(command.value(options.order), command.value(options.location), command.value(options.suffix));
}

// The window's operation box: All, or the number typed.
std::string operationBoxText(const SubCommand& command, const OrderOptions& options)
{
    const std::string typed = command.value(options.operation);
    return QString::fromStdString(typed).trimmed().toLower() == "all" ? "All" : typed;
}

void expectPrinting(bool prints) { printing = prints; }

bool stopPrinting()
{
    if (!printing)
        return false;
    stopAsked = true;
    if (PrintProgress* progress = runningPrint.load())
        progress->cancel();
    return true;
}

}  // namespace cli
