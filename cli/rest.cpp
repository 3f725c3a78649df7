#include "cli/sub_command.h"

#include "commands/reprint.h"
#include "commands/startup.h"
#include "exactly_once/request_id.h"

#include <variant>

namespace cli {

int rest(const QStringList& arguments, const Environment& environment)
{
    SubCommand command("rest",
                       "rest (--run N | --request-id ID) [--in-doubt print|skip] [--printer NAME] "
                       "[--type zebra|epson] [--dpi N|auto] [--json]",
                       arguments);
    const QCommandLineOption runOptionNamed("run", "The run whose unprinted tickets to print.", "N");
    const QCommandLineOption requestId("request-id", "The run that holds this request ID.", "ID");
    const QCommandLineOption inDoubtOption(
        "in-doubt", "print or skip: what to do with tickets that may already have printed.", "print|skip");
    const QCommandLineOption json("json", "Write the outcome as one JSON object to standard output.");
    const PrinterOptions printerOptions;
    command.parser().addOptions(
        {runOptionNamed, requestId, inDoubtOption, printerOptions.printer, printerOptions.type,
         printerOptions.dpi, json});
    if (const std::optional<int> status = command.parse({}))
        return *status;
    const bool byRun = command.parser().isSet(runOptionNamed);
    if (byRun == command.parser().isSet(requestId))
        return command.refuse("give either --run or --request-id");
    const std::int64_t named = byRun ? runOption(command, runOptionNamed).value_or(0) : 0;
    if (byRun && named == 0)
        return command.refuse("--run takes a run number");
    InDoubt inDoubt = InDoubt::Unsaid;
    if (command.parser().isSet(inDoubtOption)) {
        const QString said = command.parser().value(inDoubtOption);
        if (said != "print" && said != "skip")
            return command.refuse("--in-doubt takes print or skip");
        inDoubt = said == "print" ? InDoubt::Print : InDoubt::Skip;
    }
    Answer answer(command.parser().isSet(json), noRunFields());
    if (!byRun)
        if (const std::optional<std::string> fault = requestIdFault(command.parser().value(requestId)))
            return answer.refuse(*fault, nothingPrinted, reason::badRequestId);
    const std::variant<PrinterSettings, int> chosen = printerSettings(command, printerOptions, environment, answer);
    if (const int* status = std::get_if<int>(&chosen))
        return *status;
    const PrinterSettings& printer = std::get<PrinterSettings>(chosen);
    const std::shared_ptr<JournalAccess> access = openStationJournal(environment.programDir, answer.messages);
    std::variant<RestPlan, int> planned =
        planRest(*access, named, byRun ? std::string() : trimmedRequestId(command.parser().value(requestId)), inDoubt,
                 {"--in-doubt print", "--in-doubt skip"}, printer, answer);
    if (const int* status = std::get_if<int>(&planned))
        return *status;
    const RestPlan& plan = std::get<RestPlan>(planned);
    OrderRun run(environment.databaseTimeout);
    const WatchedPrint watched;
    ReprintRequest request{plan.target.id, plan.positions, 0, printTheRestSource(plan.target.id), {printer, false},
                           watched.progress(), access};
    return printAgain(run, std::move(request), answer);
}

}  // namespace cli
