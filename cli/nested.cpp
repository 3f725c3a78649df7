#include "cli/sub_command.h"

#include "commands/nested_print_run.h"
#include "commands/startup.h"
#include "exactly_once/request_id.h"

#include <variant>

namespace cli {

int nested(const QStringList& arguments, const Environment& environment)
{
    SubCommand command("nested",
                       "nested --location ST --order N --suffix N --operation N --quantity N --part P "
                       "--nested-quantity N --customer C --dept D --comment TEXT [--dpi N|auto] [--request-id ID] "
                       "[--json]",
                       arguments);
    const OrderOptions order;
    const QCommandLineOption part("part", "Part No. of the nested part.", "text");
    const QCommandLineOption nestedQuantity("nested-quantity", "Quantity of the nested part.", "number");
    const QCommandLineOption customer("customer", "Customer.", "text");
    const QCommandLineOption dept("dept", "Dept.", "text");
    const QCommandLineOption comment("comment", "Comment.", "text");
    const QCommandLineOption requestId(
        "request-id", "The caller's key of this card: a card already printed with it is not printed again.", "ID");
    const QCommandLineOption json("json", "Write the outcome as one JSON object to standard output.");
    const PrinterOptions printerOptions;
    command.parser().addOptions({order.location, order.order, order.suffix, order.operation, order.quantity, part,
                                 nestedQuantity, customer, dept, comment, printerOptions.dpi, requestId, json});
    if (const std::optional<int> status =
            command.parse({&order.location, &order.order, &order.operation, &part, &nestedQuantity}))
        return *status;
    Answer answer(command.parser().isSet(json), noRunFields());
    if (!strictCount(command.parser().value(order.quantity), maxQuantity))
        return answer.refuse("Specify a quantity to print.", nothingPrinted, reason::badQuantity,
                             MessageIcon::Warning);
    const bool keyed = command.parser().isSet(requestId);
    if (keyed)
        if (const std::optional<std::string> fault = requestIdFault(command.parser().value(requestId)))
            return answer.refuse(*fault, nothingPrinted, reason::badRequestId);
    const std::string operation = operationBoxText(command, order);
    if (operation == "All")
        return answer.refuse("Cannot use nested parts form on an 'All' Operation", nothingPrinted, reason::badOption,
                             MessageIcon::Warning);
    std::optional<PrinterSettings> printer = loadPrinterSettings(environment.programDir, answer.messages);
    if (!printer)
        return answer.end(nothingPrinted, reason::configUnusable);
    if (command.parser().isSet(printerOptions.dpi)) {
        const std::optional<ResolutionSetting> resolution = parseResolution(command.value(printerOptions.dpi));
        if (!resolution)
            return answer.refuse("The resolution " + command.value(printerOptions.dpi) +
                                     " is not known: use 203, 300, 600 or auto.",
                                 nothingPrinted, reason::badOption);
        printer->resolution = *resolution;
    }
    if (keyed && printer->name == "preview:")
        return answer.refuse("A request ID cannot be used with the printer preview:, which prints nothing.",
                             nothingPrinted, reason::badRequestId);

    const std::shared_ptr<JournalAccess> journal = openStationJournal(environment.programDir, answer.messages);
    OrderAsk ask;
    ask.order = orderSelection(command, order);
    ask.orderText = command.value(order.order);
    ask.operation = operation;
    ask.quantity = command.value(order.quantity);
    ask.printer = *printer;
    ask.source = commandLineSource;
    const NestedTexts typed{command.value(part), command.value(nestedQuantity), command.value(customer),
                            command.value(dept), command.value(comment)};
    if (keyed)
        ask.requestId = trimmedRequestId(command.parser().value(requestId));
    const std::variant<std::int64_t, int> claimed = claimFor(*journal, claimedStart(ask, typed), answer);
    if (const int* status = std::get_if<int>(&claimed))
        return *status;
    OrderRun run(environment.databaseTimeout);
    const WatchedPrint watched;
    return printNestedCard(run, ask, typed, journal, watched.progress(), std::get<std::int64_t>(claimed), answer);
}

}  // namespace cli
