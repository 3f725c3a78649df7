#include "cli/sub_command.h"

#include "commands/order_values.h"
#include "commands/reprint.h"
#include "commands/startup.h"
#include "commands/unattended.h"
#include "exactly_once/request_id.h"

#include <variant>

namespace cli {
namespace {

// The positions --ticket lists, as typed: "3" or "3,7,12".
std::optional<std::vector<int>> ticketList(const QString& typed)
{
    std::vector<int> positions;
    for (const QString& item : typed.split(',')) {
        const std::optional<int> position = strictCount(item.trimmed(), std::numeric_limits<int>::max());
        if (!position)
            return std::nullopt;
        positions.push_back(*position);
    }
    return positions;
}

}  // namespace

int reprint(const QStringList& arguments, const Environment& environment)
{
    SubCommand command("reprint", "reprint --run N (--ticket POS[,POS...] | --operation OP) [--copies N] [--printer NAME] "
                       "[--type zebra|epson] [--dpi N|auto] [--request-id ID] [--json]",
                       arguments);
    const QCommandLineOption runNumber("run", "The run in the print journal.", "N");
    const QCommandLineOption tickets("ticket", "The run's tickets to print again, by position from 1.", "POS[,POS...]");
    const QCommandLineOption operation("operation", "The run's cards of this operation.", "OP");
    const QCommandLineOption copies("copies", "Cards of each (default 1).", "N", "1");
    const QCommandLineOption requestId(
        "request-id", "The caller's key of this reprint: a reprint already made with it is not made again.", "ID");
    const QCommandLineOption json("json", "Write the outcome as one JSON object to standard output.");
    const PrinterOptions printerOptions;
    command.parser().addOptions({runNumber, tickets, operation, copies, printerOptions.printer, printerOptions.type,
                                 printerOptions.dpi, requestId, json});
    if (const std::optional<int> status = command.parse({&runNumber}))
        return *status;
    const std::optional<std::int64_t> run = runOption(command, runNumber);
    if (!run)
        return command.refuse("--run takes a run number");
    const bool byTicket = command.parser().isSet(tickets);
    if (byTicket == command.parser().isSet(operation))
        return command.refuse("give either --ticket or --operation");
    const std::optional<std::vector<int>> listed = byTicket ? ticketList(command.parser().value(tickets))
                                                            : std::optional<std::vector<int>>();
    if (byTicket && !listed)
        return command.refuse("--ticket takes positions from 1, separated by commas");
    Answer answer(command.parser().isSet(json), noRunFields());
    const std::optional<int> cards = strictCount(command.parser().value(copies), maxCopies);
    if (!cards)
        return answer.refuse("Specify a number of copies from 1 to 999.", nothingPrinted, reason::badQuantity,
                             MessageIcon::Warning);
    const std::optional<std::string> key =
        command.parser().isSet(requestId) ? std::optional(trimmedRequestId(command.parser().value(requestId)))
                                          : std::nullopt;
    if (key)
        if (const std::optional<std::string> fault = requestIdFault(command.parser().value(requestId)))
            return answer.refuse(*fault, nothingPrinted, reason::badRequestId);
    const std::variant<PrinterSettings, int> chosen = printerSettings(command, printerOptions, environment, answer);
    if (const int* status = std::get_if<int>(&chosen))
        return *status;
    const PrinterSettings& printer = std::get<PrinterSettings>(chosen);
    if (key && printer.name == "preview:")
        return answer.refuse("A request ID cannot be used with the printer preview:, which prints nothing.",
                             nothingPrinted, reason::badRequestId);
    const std::shared_ptr<JournalAccess> access = openStationJournal(environment.programDir, answer.messages);
    std::variant<std::vector<int>, int> chosenTickets = reprintPositions(
        *access, *run, listed, command.parser().value(operation).trimmed().toStdString(), answer);
    if (const int* status = std::get_if<int>(&chosenTickets))
        return *status;
    const std::vector<int> positions = std::get<std::vector<int>>(std::move(chosenTickets));
    std::int64_t recorded = 0;
    if (key) {
        const std::variant<std::int64_t, int> claim =
            recordReprint(*access, {*run, positions, *cards, key}, printer, {}, answer);
        if (const int* status = std::get_if<int>(&claim))
            return *status;
        recorded = std::get<std::int64_t>(claim);
    }

    OrderRun printing(environment.databaseTimeout);
    const WatchedPrint watched;
    ReprintRequest request{*run,   positions, *cards, reprintSource(*run), {printer, false}, watched.progress(),
                           access, recorded};
    return printAgain(printing, std::move(request), answer);
}

}  // namespace cli
