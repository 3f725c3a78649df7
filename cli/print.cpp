#include "cli/request_id.h"
#include "cli/sub_command.h"

#include "commands/startup.h"

#include <variant>

namespace cli {
namespace {

// The journal's claim of a request id, made before anything else happens so
// that two callers with one id print once: the journal's transaction lets
// one of them in, and gives back the id of a claim whose process died
// before it marked a ticket. The claimed run, or the exit status answered.
std::variant<std::int64_t, int> claimRequest(JournalAccess& journal, const RunStart& run, Answer& answer)
{
    const std::unique_ptr<Journal> connection = journal.open(answer.messages);
    const std::string unusable = "A request ID needs the print journal, which cannot be used.";
    if (!connection)
        return answer.refuse(unusable, nothingPrinted, reason::journalUnusable);
    try {
        std::variant<std::int64_t, RunRecord> claim = connection->claimRequest(run);
        if (const RunRecord* held = std::get_if<RunRecord>(&claim)) {
            if (const std::optional<int> refused = refuseOtherRequest(run, *held, answer))
                return *refused;
            connection->closeInterruptedRuns();
            return answerHeld(*connection, *held, answer);
        }
        return std::get<std::int64_t>(claim);
    } catch (const JournalError& error) {
        journal.failed(error, answer.messages);
        return answer.refuse(unusable, nothingPrinted, reason::journalUnusable);
    }
}

// A claimed run whose printing never began ends as failed with the last
// message shown and gives its request id back, so that the caller may try
// again. A run that began and marked no ticket gave it back when it ended.
void releaseClaim(JournalAccess& journal, std::int64_t run, const std::vector<Message>& shown)
{
    MessageList unseen;
    if (const std::unique_ptr<Journal> connection = journal.open(unseen)) {
        try {
            connection->releaseRun(run, shown.empty() ? std::string() : shown.back().text);
        } catch (const JournalError&) {
        }
    }
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
    Answer answer(command.parser().isSet(json), noRunFields());
    if (!strictCount(command.parser().value(order.quantity), maxQuantity))
        return answer.refuse("Specify a quantity to print.", nothingPrinted, reason::badQuantity,
                             MessageIcon::Warning);
    const bool keyed = command.parser().isSet(requestId);
    if (keyed)
        if (const std::optional<std::string> fault = requestIdFault(command.parser().value(requestId)))
            return answer.refuse(*fault, nothingPrinted, reason::badRequestId);
    const std::variant<PrinterSettings, int> chosen = printerSettings(command, printerOptions, environment, answer);
    if (const int* status = std::get_if<int>(&chosen))
        return *status;
    const PrinterSettings& printer = std::get<PrinterSettings>(chosen);
    // A preview prints nothing: it must not use up the id.
    if (keyed && printer.name == "preview:")
        return answer.refuse("A request ID cannot be used with the printer preview:, which prints nothing.",
                             nothingPrinted, reason::badRequestId);
    const std::shared_ptr<JournalAccess> journal = openStationJournal(environment.programDir, answer.messages);
    const OrderSelection selection = orderSelection(command, order);
    const std::string operation = operationBoxText(command, order);
    std::int64_t claimed = 0;
    if (keyed) {
        RunStart start = runStart(commandLineSource, printer);
        start.requestId = command.value(requestId);
        start.location = selection.location;
        start.order = command.parser().value(order.order).trimmed().toStdString();
        start.suffix = selection.suffix;
        start.operation = operation;
        start.quantity = command.value(order.quantity);
        const std::variant<std::int64_t, int> claim = claimRequest(*journal, start, answer);
        if (const int* status = std::get_if<int>(&claim))
            return *status;
        claimed = std::get<std::int64_t>(claim);
    }

    OrderRun run(environment);
    const std::variant<OrderHeader, int> located = run.locate(selection, answer);
    if (const int* status = std::get_if<int>(&located)) {
        if (claimed)
            releaseClaim(*journal, claimed, answer.messages.shown);
        return *status;
    }
    const WatchedPrint watched;
    PrintRequest request;
    request.order = selection;
    request.operation = chooseOperation(operation, operation);
    request.quantity = parseQuantity(command.value(order.quantity));
    request.header = std::get<OrderHeader>(located);
    request.printer = {printer, false};
    request.progress = watched.progress();
    request.journal = journal;
    request.source = commandLineSource;
    request.journalRun = claimed;
    const PrintResult result = run.await<PrintResult>(
        [&](std::function<void(PrintResult)> apply) { return run.commands().print(std::move(request), apply); });
    answer.messages.showAll(result.messages);
    if (claimed && result.tickets.sent == 0)
        releaseClaim(*journal, claimed, answer.messages.shown);
    return finishRun(result, recordOf(journal, result.journalRun), answer);
}

}  // namespace cli
