#include "cli/sub_command.h"

#include "exactly_once/request_id.h"

#include "commands/startup.h"

#include <variant>

namespace cli {

int print(const QStringList& arguments, const Environment& environment)
{
    SubCommand command("print",
                       "print --location ST --order N [--suffix N] [--operation N|all] [--quantity N] "
                       "[--printer NAME] [--type zebra|epson] [--dpi N|auto] [--request-id ID] [--json]",
                       arguments);
    const OrderOptions order;
    const PrinterOptions printerOptions;
    const QCommandLineOption requestId(
        "request-id", "The caller's key of this request: a run already printed with it is not printed again.", "ID");
    const QCommandLineOption json("json", "Write the outcome as one JSON object to standard output.");
    command.parser().addOptions({order.location, order.order, order.suffix, order.operation, order.quantity,
                                 printerOptions.printer, printerOptions.type, printerOptions.dpi, requestId, json});
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
    OrderAsk ask;
    ask.order = orderSelection(command, order);
    ask.orderText = command.parser().value(order.order).trimmed().toStdString();
    ask.operation = operationBoxText(command, order);
    ask.quantity = command.value(order.quantity);
    ask.printer = printer;
    ask.source = commandLineSource;
    if (keyed)
        ask.requestId = trimmedRequestId(command.parser().value(requestId));
    const std::variant<std::int64_t, int> claimed = claimFor(*journal, claimedStart(ask), answer);
    if (const int* status = std::get_if<int>(&claimed))
        return *status;
    OrderRun run(environment.databaseTimeout);
    const WatchedPrint watched;
    return printOrder(run, ask, journal, watched.progress(), std::get<std::int64_t>(claimed), answer);
}

}  // namespace cli
