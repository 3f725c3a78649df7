#include "cli/request_id.h"
#include "cli/sub_command.h"

#include "commands/reprint.h"
#include "commands/startup.h"

#include <algorithm>
#include <variant>

namespace cli {
namespace {

enum class InDoubt { Unsaid, Print, Skip };

// The run whose rest is printed: the one named, or the last Print the Rest
// that finished it part-way. Nothing, answered, when there is none to print.
std::variant<RunRecord, int> runToFinish(Journal& journal, const RunRecord& named, Answer& answer)
{
    const RequestProgress progress = progressOf(journal, named);
    const std::string last = std::to_string(progress.last.id);
    if (progress.printing) {
        answer.messages.show(stillPrintingMessage(progress.last.id), MessageIcon::Warning);
        answer.messages.show("Try again once it has ended.", MessageIcon::None);
        return answer.end(inProgressElsewhere, reason::requestInProgress, {{"outcome", "in progress"}});
    }
    if (progress.printed) {
        answer.messages.show("Every ticket of run " + std::to_string(named.id) + " was printed" +
                                 (progress.last.id != named.id ? " (the last of them by run " + last + ")." : "."),
                             MessageIcon::None);
        return answer.end(allSent, reason::alreadyPrinted,
                          {{"run", static_cast<qint64>(progress.last.id)}, {"outcome", "printed"}});
    }
    if (progress.last.id != named.id)
        answer.messages.show("Run " + std::to_string(named.id) + " was finished part-way by run " + last +
                                 "; the rest of run " + last + " is printed.",
                             MessageIcon::None);
    return progress.last;
}

// The caller said the tickets in doubt printed, and nothing else is left:
// the rest is recorded as printed, with nothing sent, so that the run counts
// as finished (a retry of its request id answers 0) and nobody prints them.
void recordSkippedRest(Journal& journal, const RunRecord& run, const PrinterSettings& printer, int skipped)
{
    RunStart start = runStart(printTheRestSource(run.id), printer);
    start.restOf = run.id;
    start.location = run.location;
    start.order = run.order;
    start.suffix = run.suffix;
    start.operation = run.operation;
    start.quantity = run.quantity;
    const std::int64_t rest = journal.startRun(start, {});
    journal.endRun(rest, RunOutcome::Printed, 0,
                   "Its " + std::to_string(skipped) + " tickets in doubt were taken as printed.");
}

// The tickets to print of run: every one the printer did not confirm, those
// in doubt as the caller said. Nothing, answered, when none is to be printed.
std::variant<std::vector<int>, int> restOf(Journal& journal, const RunRecord& run, InDoubt inDoubt,
                                           const PrinterSettings& printer, Answer& answer)
{
    const std::vector<TicketRecord> tickets = journal.tickets(run.id);
    if (!ticketsKept(run, tickets))
        return answer.refuse(notBuiltMessage(run.id), nothingPrinted, reason::notFound);
    std::vector<int> positions;
    int doubtful = 0;
    for (const TicketRecord& ticket : tickets) {
        if (ticket.state == TicketState::Confirmed)
            continue;
        const bool inDoubtNow = ticket.state == TicketState::Sending;
        doubtful += inDoubtNow;
        if (!inDoubtNow || inDoubt == InDoubt::Print)
            positions.push_back(ticket.position);
    }
    const std::string number = std::to_string(run.id);
    if (doubtful > 0 && inDoubt == InDoubt::Unsaid) {
        answer.messages.show(std::to_string(doubtful) + " tickets of run " + number + " may already have printed.",
                             MessageIcon::Warning);
        return answer.refuse("Nothing was printed: give --in-doubt print to print them again, or --in-doubt skip to "
                             "leave them out.",
                             nothingPrinted, reason::inDoubtUnresolved, MessageIcon::None);
    }
    if (positions.empty()) {
        if (doubtful > 0)
            recordSkippedRest(journal, run, printer, doubtful);
        answer.messages.show(doubtful > 0 ? "Nothing of run " + number + " is left to print but its " +
                                                std::to_string(doubtful) + " tickets in doubt, which are skipped."
                                          : "Every ticket of run " + number + " was printed.",
                             MessageIcon::None);
        return answer.end(allSent, reason::alreadyPrinted, {{"run", static_cast<qint64>(run.id)}, {"outcome", "printed"}});
    }
    return positions;
}

// The rest of run was taken by another program between the look and the
// run's record: the caller is told how that one stands.
int answerTaken(JournalAccess& access, const RunRecord& run, Answer& answer)
{
    MessageList unseen;
    const std::unique_ptr<Journal> journal = access.open(unseen);
    try {
        if (journal) {
            journal->closeInterruptedRuns();
            if (const std::optional<RunRecord> now = journal->run(run.id)) {
                const RequestProgress progress = progressOf(*journal, *now);
                if (progress.printing)
                    return answer.end(inProgressElsewhere, reason::requestInProgress, {{"outcome", "in progress"}});
                if (progress.printed)
                    return answer.end(allSent, reason::alreadyPrinted, {{"outcome", "printed"}});
            }
        }
    } catch (const JournalError&) {
    }
    return answer.end(stoppedPartWay, reason::restTaken);
}

}  // namespace

int rest(const QStringList& arguments, const Environment& environment)
{
    SubCommand command("rest",
                       "rest (--run N | --request-id ID) [--in-doubt print|skip] [--printer NAME] "
                       "[--type zebra|epson] [--json]",
                       arguments);
    const QCommandLineOption runOptionNamed("run", "The run whose unprinted tickets to print.", "N");
    const QCommandLineOption requestId("request-id", "The run that holds this request ID.", "ID");
    const QCommandLineOption inDoubtOption(
        "in-doubt", "print or skip: what to do with tickets that may already have printed.", "print|skip");
    const QCommandLineOption json("json", "Write the outcome as one JSON object to standard output.");
    const PrinterOptions printerOptions;
    command.parser().addOptions(
        {runOptionNamed, requestId, inDoubtOption, printerOptions.printer, printerOptions.type, json});
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
    const std::string unusable = "Print the Rest needs the print journal, which cannot be used.";
    std::unique_ptr<Journal> journal = access->open(answer.messages);
    if (!journal)
        return answer.refuse(unusable, nothingPrinted, reason::journalUnusable);
    RunRecord target;
    std::vector<int> positions;
    try {
        journal->closeInterruptedRuns();
        const std::optional<RunRecord> run =
            byRun ? journal->run(named) : journal->runWithRequest(command.value(requestId));
        if (!run)
            return answer.refuse(byRun ? "No run " + std::to_string(named) + " is in the print journal."
                                       : "No run holds request ID " + command.value(requestId) + ".",
                                 nothingPrinted, reason::notFound);
        std::variant<RunRecord, int> finished = runToFinish(*journal, *run, answer);
        if (const int* status = std::get_if<int>(&finished))
            return *status;
        target = std::get<RunRecord>(std::move(finished));
        std::variant<std::vector<int>, int> rest = restOf(*journal, target, inDoubt, printer, answer);
        if (const int* status = std::get_if<int>(&rest))
            return *status;
        positions = std::get<std::vector<int>>(std::move(rest));
    } catch (const RestTaken&) {
        journal.reset();
        return answerTaken(*access, target, answer);
    } catch (const JournalError& error) {
        access->failed(error, answer.messages);
        return answer.refuse(unusable, nothingPrinted, reason::journalUnusable);
    }
    journal.reset();

    OrderRun run(environment);
    const WatchedPrint watched;
    ReprintRequest request{target.id,          positions, 0, printTheRestSource(target.id), {printer, false},
                           watched.progress(), access};
    const PrintResult result = run.await<PrintResult>(
        [&](std::function<void(PrintResult)> apply) { return run.commands().reprint(std::move(request), apply); });
    answer.messages.showAll(result.messages);
    if (result.restTaken)
        return answerTaken(*access, target, answer);
    return finishRun(result, recordOf(access, result.journalRun), answer);
}

}  // namespace cli
