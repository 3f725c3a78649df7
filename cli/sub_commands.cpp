#include "cli/sub_commands.h"

#include "commands/commands.h"
#include "commands/nested_print_run.h"
#include "commands/order_lookup.h"
#include "commands/print_run.h"
#include "commands/setup_printer.h"
#include "commands/startup.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <variant>

namespace cli {
namespace {

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

void writeJson(PrintEnding outcome, const TicketCount& tickets, const std::vector<Message>& messages)
{
    QJsonArray texts;
    for (const Message& message : messages)
        texts.append(QString::fromStdString(message.text));
    const QJsonObject run{{"run", QJsonValue::Null},
                          {"planned", tickets.planned},
                          {"sent", tickets.sent},
                          {"in_doubt", 0},
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
int finishRun(const Result& result, const StandardError& messages, bool json)
{
    if (json)
        writeJson(result.outcome, result.tickets, messages.shown);
    return exitStatus(result.outcome);
}

int print(const QStringList& arguments, const Environment& environment)
{
    SubCommand command("print",
                       "print --location ST --order N [--suffix N] [--operation N|all] [--quantity N] "
                       "[--printer NAME] [--type zebra|epson] [--json]",
                       arguments);
    const OrderOptions order;
    const PrinterOptions printerOptions;
    const QCommandLineOption json("json", "Write the outcome as one JSON object to standard output.");
    command.parser().addOptions({order.location, order.order, order.suffix, order.operation, order.quantity,
                                 printerOptions.printer, printerOptions.type, json});
    if (const std::optional<int> status = command.parse({&order.location, &order.order}))
        return *status;
    StandardError messages;
    const std::optional<PrinterSettings> printer = printerSettings(command, printerOptions, environment, messages);
    if (!printer)
        return nothingPrinted;

    OrderRun run(environment);
    const OrderSelection selection = orderSelection(command, order);
    const std::variant<OrderHeader, int> located = run.locate(selection, messages);
    if (const int* status = std::get_if<int>(&located))
        return *status;
    const std::string operation = operationBoxText(command, order);
    const WatchedPrint watched;
    PrintRequest request{selection,
                         chooseOperation(operation, operation),
                         parseQuantity(command.value(order.quantity)),
                         std::get<OrderHeader>(located),
                         {*printer, false},
                         watched.progress()};
    const PrintResult result = run.await<PrintResult>(
        [&](std::function<void(PrintResult)> apply) { return run.commands().print(std::move(request), apply); });
    messages.showAll(result.messages);
    return finishRun(result, messages, command.parser().isSet(json));
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
    const NestedPrintResult result = run.await<NestedPrintResult>([&](std::function<void(NestedPrintResult)> apply) {
        return run.commands().printNested(std::move(request), apply);
    });
    messages.showAll(result.messages);
    return finishRun(result, messages, command.parser().isSet(json));
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

using Runner = int (*)(const QStringList&, const Environment&);

const std::map<QString, Runner>& subCommands()
{
    static const std::map<QString, Runner> commands{
        {"print", print}, {"nested", nested}, {"setup-printer", setupPrinterCommand}};
    return commands;
}

}  // namespace

bool isSubCommand(const QString& word) { return subCommands().contains(word); }

int runSubCommand(const QStringList& arguments, const Environment& environment)
{
    if (arguments.size() < 2 || !isSubCommand(arguments[1]))
        return wrongCommandLine;
    QStringList own = arguments.mid(2);
    own.prepend(arguments[0]);
    return subCommands().at(arguments[1])(own, environment);
}

void stopPrinting()
{
    stopAsked = true;
    if (PrintProgress* progress = runningPrint.load())
        progress->cancel();
}

}  // namespace cli
