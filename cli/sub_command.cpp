#include "cli/sub_command.h"

#include "commands/order_lookup.h"
#include "commands/startup.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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

void writeJson(PrintEnding outcome, const TicketCount& tickets, const std::optional<RunRecord>& record,
               const std::vector<Message>& messages)
{
    QJsonArray texts;
    for (const Message& message : messages)
        texts.append(QString::fromStdString(message.text));
    const QJsonObject run{{"run", record ? QJsonValue(static_cast<qint64>(record->id)) : QJsonValue()},
                          {"planned", tickets.planned},
                          {"sent", tickets.sent},
                          {"in_doubt", record ? record->inDoubt : 0},
                          {"outcome", outcomeName(outcome)},
                          {"exit_status", exitStatus(outcome)},
                          {"messages", texts}};
    std::fprintf(stdout, "%s\n", QJsonDocument(run).toJson(QJsonDocument::Compact).constData());
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

std::variant<OrderHeader, int> OrderRun::locate(const OrderSelection& order, MessageBox& messages)
{
    const auto opened = commands_.runAndWait<OpenDatabaseResult>(
        [](DatabaseSession& db, std::stop_token) { return openDatabaseCommand(db); });
    messages.showAll(opened->messages);
    if (!opened->opened)
        return databaseFault;
    const LocateRequest request{order};
    const auto located = commands_.runAndWait<LocateResult>(
        [request](DatabaseSession& db, std::stop_token) { return locateOrder(db, request); });
    messages.showAll(located->messages);
    using Outcome = LocateResult::Outcome;
    if (located->outcome == Outcome::Failed)
        return databaseFault;
    if (!located->header)
        return nothingPrinted;
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
