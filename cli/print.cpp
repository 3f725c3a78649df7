#include "cli/sub_command.h"

#include "commands/startup.h"

#include <algorithm>
#include <variant>

namespace cli {
namespace {

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

}  // namespace

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

}  // namespace cli
