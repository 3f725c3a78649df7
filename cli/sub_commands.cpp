#include "cli/sub_commands.h"

#include "commands/commands.h"
#include "commands/nested_print_run.h"
#include "commands/order_lookup.h"
#include "commands/print_run.h"
#include "commands/setup_printer.h"
#include "commands/startup.h"

#include <QCommandLineParser>
#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <variant>

namespace cli {
namespace {

constexpr const char* commandLineSource = "command line";

std::atomic<bool> printing{false};  // a sub-command that prints runs
std::atomic<bool> stopAsked{false};
std::atomic<PrintProgress*> runningPrint{nullptr};

// The options of the commands that print an order, as the main window's boxes.
struct OrderOptions {
    QCommandLineOption location{"location", "Location (Location: box), such as ST.", "code"};
    QCommandLineOption order{"order", "Shop order number (Shop Order: box).", "number"};
    QCommandLineOption suffix{"suffix", "Suffix (default 0).", "number", "0"};
    QCommandLineOption operation{"operation", "Operation number, or all (default).", "number|all", "all"};
    QCommandLineOption quantity{"quantity", "Quantity to print (default 1).", "number", "1"};
};

struct PrinterOptions {
    QCommandLineOption printer{"printer", "Printer, as PRINTER= in travcard.cfg (the default).", "name"};
    QCommandLineOption type{"type", "zebra or epson (default: PRTTYPE= in travcard.cfg).", "type"};
};

// Messages go to standard error as one line each, the fixed text first.
class StandardError : public MessageBox {
public:
    void show(const std::string& text, MessageIcon icon) override
    {
        std::string line = text;
        for (char& c : line)
            c = c == '\n' ? ' ' : c;
        std::fprintf(stderr, "%s\n", line.c_str());
        shown.push_back({text, icon});
    }
    std::vector<Message> shown;
};

class SubCommand {
public:
    SubCommand(const QString& name, const QString& synopsis, const QStringList& arguments)
        : name_(name), synopsis_(synopsis), arguments_(arguments)
    {
        parser_.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser_.addHelpOption();
    }

    QCommandLineParser& parser() { return parser_; }
    const QCommandLineParser& parser() const { return parser_; }

    // False, with the usage written, when the command line is wrong or asked for help.
    std::optional<int> parse(const std::vector<const QCommandLineOption*>& required)
    {
        if (!parser_.parse(arguments_))
            return refuse(parser_.errorText());
        if (parser_.isSet("help")) {
            std::fprintf(stdout, "Usage: travcard %s\n%s", qPrintable(synopsis_),
                         qPrintable(optionsHelp()));
            return allSent;
        }
        if (!parser_.positionalArguments().isEmpty())
            return refuse("unexpected argument '" + parser_.positionalArguments().front() + "'");
        for (const QCommandLineOption* option : required)
            if (!parser_.isSet(*option))
                return refuse("--" + option->names().front() + " is required");
        return std::nullopt;
    }

    std::string value(const QCommandLineOption& option) const { return parser_.value(option).toStdString(); }

private:
    int refuse(const QString& fault) const
    {
        std::fprintf(stderr, "travcard %s: %s\nUsage: travcard %s\n", qPrintable(name_), qPrintable(fault),
                     qPrintable(synopsis_));
        return wrongCommandLine;
    }

    QString optionsHelp() const
    {
        const QString text = parser_.helpText();
        const qsizetype options = text.indexOf("Options:");
        return options < 0 ? QString() : text.mid(options);
    }

    QString name_;
    QString synopsis_;
    QStringList arguments_;
    QCommandLineParser parser_;
};

// The printer travcard.cfg names, as the options change it. Nothing, with
// the message shown, when the configuration or a value is not accepted.
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

// A print run of the command line: the progress that a signal cancels.
class WatchedPrint {
public:
    WatchedPrint() : progress_(std::make_shared<PrintProgress>())
    {
        runningPrint = progress_.get();
        if (stopAsked)
            progress_->cancel();
    }
    ~WatchedPrint() { runningPrint = nullptr; }
    WatchedPrint(const WatchedPrint&) = delete;
    WatchedPrint& operator=(const WatchedPrint&) = delete;
    std::shared_ptr<PrintProgress> progress() const { return progress_; }

private:
    std::shared_ptr<PrintProgress> progress_;
};

// Runs one print command against the database: opens it, locates the order
// as Locate does, then print(commands, header, progress).
class OrderRun {
public:
    explicit OrderRun(const Environment& environment) : commands_(receiver_)
    {
        commands_.setDatabaseTimeout(environment.databaseTimeout);
    }

    Commands& commands() { return commands_; }

    // The order's header, or the exit status with the messages shown.
    std::variant<OrderHeader, int> locate(const OrderSelection& order, MessageBox& messages)
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

    template <class Result>
    Result await(const std::function<bool(std::function<void(Result)>)>& start)
    {
        std::optional<Result> outcome;
        QEventLoop loop;
        if (start([&](Result result) {
                outcome = std::move(result);
                loop.quit();
            }))
            loop.exec();
        return std::move(*outcome);
    }

private:
    QObject receiver_;
    Commands commands_;
};

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

template <class Result>
int finishRun(const Result& result, const std::optional<RunRecord>& record, const StandardError& messages,
              bool json)
{
    if (json)
        writeJson(result.outcome, result.tickets, record, messages.shown);
    return exitStatus(result.outcome);
}

bool isRequestId(const QString& id)
{
    if (id.isEmpty() || id.size() > 100)
        return false;
    return std::all_of(id.begin(), id.end(), [](QChar c) { return c.isPrint(); });
}

// What the caller is told of a request id that a run holds already;
// nothing is printed again.
int alreadyHeld(const RunRecord& run, StandardError& messages, bool json)
{
    const std::string number = std::to_string(run.id);
    const bool printed = run.outcome == outcomeName(RunOutcome::Printed);
    if (printed)
        messages.show("Request ID was already printed as run " + number + ".", MessageIcon::None);
    else if (!run.ended)
        messages.show("Request ID belongs to run " + number + ", which is printing now.", MessageIcon::Warning);
    else
        messages.show("Request ID belongs to run " + number +
                          ", which did not print all its tickets; Print the Rest finishes it.",
                      MessageIcon::Warning);
    const PrintEnding ending = printed ? PrintEnding::Printed : PrintEnding::Stopped;
    if (json)
        writeJson(ending, {run.confirmed, run.planned}, run, messages.shown);
    return exitStatus(ending);
}

// Holds the request id in the journal for this run before anything else
// happens, so that two callers with one id print once: the journal's
// transaction lets one of them in, and gives back the id of a claim whose
// process died before it marked a ticket. The claimed run; the run that
// holds the id already; or the exit status with the message shown.
std::variant<std::int64_t, RunRecord, int> claimRequest(JournalAccess& journal, const RunStart& run,
                                                        MessageBox& messages)
{
    const std::unique_ptr<Journal> connection = journal.open(messages);
    if (!connection) {
        messages.show("A request ID needs the print journal, which cannot be used.", MessageIcon::Critical);
        return nothingPrinted;
    }
    try {
        std::variant<std::int64_t, RunRecord> claim = connection->claimRequest(run);
        if (const RunRecord* held = std::get_if<RunRecord>(&claim))
            return std::move(*held);
        return std::get<std::int64_t>(claim);
    } catch (const JournalError& error) {
        journal.failed(error, messages);
        messages.show("A request ID needs the print journal, which cannot be used.", MessageIcon::Critical);
        return nothingPrinted;
    }
}

// A claimed run whose printing never began gives its request id back, so
// that the caller may try again. A run that began and marked no ticket gave
// it back when it ended.
void releaseClaim(JournalAccess& journal, std::int64_t run)
{
    MessageList unseen;
    if (const std::unique_ptr<Journal> connection = journal.open(unseen)) {
        try {
            connection->releaseRun(run);
        } catch (const JournalError&) {
        }
    }
}

// What a request asked for, as the journal records it.
std::string requestText(const std::string& location, const std::string& order, const std::string& suffix,
                        const std::string& operation, const std::string& quantity, const std::string& printerType)
{
    return "location " + location + ", order " + order + "/" + suffix + ", operation " + operation + ", quantity " +
           quantity + ", " + printerType + " printer";
}

// One request id is one request: the same id sent for another order (a
// caller's bug, or two callers that chose one key) prints nothing.
std::optional<int> refuseOtherRequest(const RunStart& asked, const RunRecord& held, MessageBox& messages)
{
    const std::string heldText =
        requestText(held.location, held.order, held.suffix, held.operation, held.quantity, held.printerType);
    const std::string askedText =
        requestText(asked.location, asked.order, asked.suffix, asked.operation, asked.quantity, asked.printerType);
    if (heldText == askedText)
        return std::nullopt;
    messages.show("Request ID " + *asked.requestId + " was used for order " + held.order + "/" + held.suffix + ".",
                  MessageIcon::Critical);
    messages.show("Run " + std::to_string(held.id) + " asked for " + heldText + "; this request asks for " +
                      askedText + ".",
                  MessageIcon::None);
    return nothingPrinted;
}

// Why a request id is not accepted; nothing when it is.
std::optional<std::string> requestIdFault(const QString& id)
{
    // Qt decodes the command line as UTF-8, each byte that is not as U+FFFD:
    // two different ids would be kept as one.
    if (id.contains(QChar::ReplacementCharacter))
        return "The request ID is not valid UTF-8 text, so it cannot be told apart from others.";
    if (!isRequestId(id))
        return "A request ID is 1 to 100 printable characters.";
    return std::nullopt;
}

int print(const QStringList& arguments, const Environment& environment)
{
    SubCommand command("print",
                       "print --location ST --order N [--suffix N] [--operation N|all] [--quantity N] "
                       "[--printer NAME] [--type zebra|epson] [--request-id ID] [--json]",
                       arguments);
    const OrderOptions order;
    const PrinterOptions printerOptions;
    const QCommandLineOption requestId(
        "request-id", "The caller's key of this request: a run already printed with it is not printed again.", "ID");
    const QCommandLineOption json("json", "Write the outcome as one JSON object to standard output.");
    command.parser().addOptions({order.location, order.order, order.suffix, order.operation, order.quantity,
                                 printerOptions.printer, printerOptions.type, requestId, json});
    if (const std::optional<int> status = command.parse({&order.location, &order.order}))
        return *status;
    StandardError messages;
    if (command.parser().isSet(requestId))
        if (const std::optional<std::string> fault = requestIdFault(command.parser().value(requestId))) {
            messages.show(*fault, MessageIcon::Critical);
            return nothingPrinted;
        }
    const std::optional<PrinterSettings> printer = printerSettings(command, printerOptions, environment, messages);
    if (!printer)
        return nothingPrinted;
    // A preview prints nothing: it must not use up the id.
    if (command.parser().isSet(requestId) && printer->name == "preview:") {
        messages.show("A request ID cannot be used with the printer preview:, which prints nothing.",
                      MessageIcon::Critical);
        return nothingPrinted;
    }
    const std::shared_ptr<JournalAccess> journal = openStationJournal(environment.programDir, messages);
    const OrderSelection selection = orderSelection(command, order);
    const std::string operation = operationBoxText(command, order);
    std::int64_t claimed = 0;
    if (command.parser().isSet(requestId)) {
        RunStart start = runStart(commandLineSource, *printer);
        start.requestId = command.value(requestId);
        start.location = selection.location;
        start.order = command.parser().value(order.order).trimmed().toStdString();
        start.suffix = selection.suffix;
        start.operation = operation;
        start.quantity = command.parser().value(order.quantity).trimmed().toStdString();
        const std::variant<std::int64_t, RunRecord, int> claim = claimRequest(*journal, start, messages);
        if (const int* status = std::get_if<int>(&claim))
            return *status;
        if (const RunRecord* held = std::get_if<RunRecord>(&claim)) {
            if (const std::optional<int> refused = refuseOtherRequest(start, *held, messages))
                return *refused;
            return alreadyHeld(*held, messages, command.parser().isSet(json));
        }
        claimed = std::get<std::int64_t>(claim);
    }

    OrderRun run(environment);
    const std::variant<OrderHeader, int> located = run.locate(selection, messages);
    if (const int* status = std::get_if<int>(&located)) {
        if (claimed)
            releaseClaim(*journal, claimed);
        return *status;
    }
    const WatchedPrint watched;
    PrintRequest request;
    request.order = selection;
    request.operation = chooseOperation(operation, operation);
    request.quantity = parseQuantity(command.value(order.quantity));
    request.header = std::get<OrderHeader>(located);
    request.printer = {*printer, false};
    request.progress = watched.progress();
    request.journal = journal;
    request.source = commandLineSource;
    request.journalRun = claimed;
    const PrintResult result = run.await<PrintResult>(
        [&](std::function<void(PrintResult)> apply) { return run.commands().print(std::move(request), apply); });
    messages.showAll(result.messages);
    if (claimed && result.tickets.sent == 0)
        releaseClaim(*journal, claimed);
    return finishRun(result, recordOf(journal, result.journalRun), messages, command.parser().isSet(json));
}

int nested(const QStringList& arguments, const Environment& environment)
{
    SubCommand command("nested",
                       "nested --location ST --order N --suffix N --operation N --quantity N --part P "
                       "--nested-quantity N --customer C --dept D --comment TEXT [--json]",
                       arguments);
    const OrderOptions order;
    const QCommandLineOption part("part", "Part No. of the nested part.", "text");
    const QCommandLineOption nestedQuantity("nested-quantity", "Quantity of the nested part.", "number");
    const QCommandLineOption customer("customer", "Customer.", "text");
    const QCommandLineOption dept("dept", "Dept.", "text");
    const QCommandLineOption comment("comment", "Comment.", "text");
    const QCommandLineOption json("json", "Write the outcome as one JSON object to standard output.");
    command.parser().addOptions({order.location, order.order, order.suffix, order.operation, order.quantity, part,
                                 nestedQuantity, customer, dept, comment, json});
    if (const std::optional<int> status =
            command.parse({&order.location, &order.order, &order.operation, &part, &nestedQuantity}))
        return *status;
    StandardError messages;
    const std::string operation = operationBoxText(command, order);
    if (operation == "All") {
        messages.show("Cannot use nested parts form on an 'All' Operation", MessageIcon::Warning);
        return nothingPrinted;
    }
    std::optional<PrinterSettings> printer = loadPrinterSettings(environment.programDir, messages);
    if (!printer)
        return nothingPrinted;

    OrderRun run(environment);
    const std::variant<OrderHeader, int> located = run.locate(orderSelection(command, order), messages);
    if (const int* status = std::get_if<int>(&located))
        return *status;
    const WatchedPrint watched;
    const MainWindowTexts boxes{command.value(order.order), command.value(order.suffix), command.value(order.location),
                                operation, command.value(order.quantity)};
    const NestedTexts typed{command.value(part), command.value(nestedQuantity), command.value(customer),
                            command.value(dept), command.value(comment)};
    NestedPrintRequest request =
        nestedPrintRequest(boxes, std::get<OrderHeader>(located), *printer, typed, watched.progress());
    const std::shared_ptr<JournalAccess> journal = openStationJournal(environment.programDir, messages);
    request.journal = journal;
    request.source = commandLineSource;
    const NestedPrintResult result = run.await<NestedPrintResult>([&](std::function<void(NestedPrintResult)> apply) {
        return run.commands().printNested(std::move(request), apply);
    });
    messages.showAll(result.messages);
    return finishRun(result, recordOf(journal, result.journalRun), messages, command.parser().isSet(json));
}

int setupPrinterCommand(const QStringList& arguments, const Environment& environment)
{
    SubCommand command("setup-printer", "setup-printer [--printer NAME] [--type zebra|epson]", arguments);
    const PrinterOptions printerOptions;
    command.parser().addOptions({printerOptions.printer, printerOptions.type});
    if (const std::optional<int> status = command.parse({}))
        return *status;
    StandardError messages;
    const std::optional<PrinterSettings> printer = printerSettings(command, printerOptions, environment, messages);
    if (!printer)
        return nothingPrinted;
    QObject receiver;
    Commands commands(receiver);
    const auto result = commands.runAndWait<SetupPrinterResult>(
        [settings = *printer](DatabaseSession&, std::stop_token stop) { return setupPrinter(settings, stop); });
    messages.showAll(result->messages);
    return result->messages.empty() ? allSent : printerFault;
}

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

using Runner = int (*)(const QStringList&, const Environment&);

const std::map<QString, Runner>& subCommands()
{
    static const std::map<QString, Runner> commands{
        {"print", print}, {"nested", nested}, {"history", history}, {"setup-printer", setupPrinterCommand}};
    return commands;
}

}  // namespace

bool isSubCommand(const QString& word) { return subCommands().contains(word); }

int runSubCommand(const QStringList& arguments, const Environment& environment)
{
    if (arguments.size() < 2 || !isSubCommand(arguments[1]))
        return wrongCommandLine;
    printing = arguments[1] == "print" || arguments[1] == "nested";
    QStringList own = arguments.mid(2);
    own.prepend(arguments[0]);
    return subCommands().at(arguments[1])(own, environment);
}

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
