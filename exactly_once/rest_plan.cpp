#include "exactly_once/rest_plan.h"

#include "exactly_once/cups_runs.h"
#include "exactly_once/request_id.h"

#include "printing/printer_readiness.h"
#include "text/text.h"

#include <algorithm>

bool ticketsKept(const RunRecord& run, const std::vector<TicketRecord>& tickets)
{
    if (tickets.empty())
        return run.outcome == outcomeName(RunOutcome::Printed);
    return std::all_of(tickets.begin(), tickets.end(), [](const TicketRecord& ticket) { return !ticket.data.empty(); });
}

std::string notBuiltMessage(std::int64_t run)
{
    return "Run " + std::to_string(run) +
           " failed before its tickets were built, so the journal cannot print them again; print the order again.";
}


std::string printTheRestSource(std::int64_t run) { return "Print the Rest of run " + std::to_string(run); }
std::string reprintSource(std::int64_t run) { return std::string(reprintSourceStart) + std::to_string(run); }

std::string reprintSource(std::int64_t run, const std::vector<int>& positions, int copies)
{
    std::string source = reprintSource(run);
    source += ", tickets ";
    for (std::size_t first = 0; first < positions.size();) {
        std::size_t last = first;
        while (last + 1 < positions.size() && positions[last + 1] == positions[last] + 1)
            ++last;
        if (first > 0)
            source += ',';
        source += std::to_string(positions[first]);
        if (last > first) {
            source += '-';
            source += std::to_string(positions[last]);
        }
        first = last + 1;
    }
    source += ", ";
    source += std::to_string(copies);
    source += copies == 1 ? " copy" : " copies";
    return source;
}

std::string restTakenMessage(std::int64_t run, std::int64_t by)
{
    return "Run " + std::to_string(run) + " was finished by run " + std::to_string(by) +
           "; select that run to print what it did not.";
}

std::string inDoubtLine(const RunRecord& run, int inDoubt)
{
    if (run.printed == 0)
        return std::to_string(inDoubt) + " tickets of run " + std::to_string(run.id) + " may already have printed.";
    return std::to_string(run.confirmed + inDoubt) + " tickets reached the printer, " + std::to_string(run.printed) +
           " of them printed; " + std::to_string(inDoubt) + " may have printed.";
}

std::string stillPrintingMessage(std::int64_t run) { return "Run " + std::to_string(run) + " is still printing."; }

namespace {

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

// A printer that proved what it printed is asked again before anything of
// the rest is sent: one that holds nothing now lost what it held when the
// connection broke (its power went), unless it printed it first. Nothing
// when it cannot tell.
std::optional<std::string> lostWithThePrinter(const RunRecord& run, int doubtful, const PrinterSettings& printer)
{
    if (run.printed == 0 || printer.kind != PrinterKind::Zebra || printer.name != run.printer)
        return std::nullopt;
    try {
        const std::unique_ptr<PrinterDestination> destination = openDestination(printer.name, printer.limits);
        if (!destination->answersRequests())
            return std::nullopt;
        const std::optional<ZebraBuffer> buffer =
            parseHostBuffer(askHostStatus(*destination, printer.limits.statusTimeout).reply);
        if (!buffer || !buffer->empty())
            return std::nullopt;
    } catch (const PrinterError&) {
        return std::nullopt;
    }
    return "The printer holds nothing to print now: the " + std::to_string(doubtful) +
           " tickets in doubt were lost with its memory, or printed before it went off; check the labels.";
}

// The tickets to print of run: every one the printer did not confirm, those
// in doubt as the caller said. Nothing, answered, when none is to be printed.
std::variant<std::vector<int>, int> restOf(Journal& journal, const RunRecord& run, InDoubt inDoubt,
                                           const InDoubtChoices& choices, const PrinterSettings& printer,
                                           Answer& answer)
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
        answer.messages.show(inDoubtLine(run, doubtful), MessageIcon::Warning);
        if (const std::optional<std::string> lost = lostWithThePrinter(run, doubtful, printer))
            answer.messages.show(*lost, MessageIcon::None);
        return answer.refuse("Nothing was printed: give " + choices.print + " to print them again, or " +
                                 choices.skip + " to leave them out.",
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


bool sameOperation(const std::string& recorded, const std::string& asked)
{
    const std::optional<std::int64_t> number = text::wholeNumber(asked);
    return number ? text::wholeNumber(recorded) == number : recorded == asked;
}

}  // namespace

std::variant<RestPlan, int> planRest(JournalAccess& access, std::int64_t named, const std::string& requestId,
                                     InDoubt inDoubt, const InDoubtChoices& choices, const PrinterSettings& printer,
                                     Answer& answer)
{
    const std::string unusable = "Print the Rest needs the print journal, which cannot be used.";
    std::unique_ptr<Journal> journal = access.open(answer.messages);
    if (!journal)
        return answer.refuse(unusable, nothingPrinted, reason::journalUnusable);
    RestPlan plan;
    try {
        journal->closeInterruptedRuns();
        const std::optional<RunRecord> run = named ? journal->run(named) : journal->runWithRequest(requestId);
        if (!run)
            return answer.refuse(named ? "No run " + std::to_string(named) + " is in the print journal."
                                       : "No run holds request ID " + requestId + ".",
                                 nothingPrinted, reason::notFound);
        std::variant<RunRecord, int> finished = runToFinish(*journal, *run, answer);
        if (const int* status = std::get_if<int>(&finished))
            return *status;
        plan.target = std::get<RunRecord>(std::move(finished));
        settleCupsRuns(*journal, plan.target.id);  // a job CUPS completed since leaves nothing in doubt
        std::variant<std::vector<int>, int> rest = restOf(*journal, plan.target, inDoubt, choices, printer, answer);
        if (const int* status = std::get_if<int>(&rest))
            return *status;
        plan.positions = std::get<std::vector<int>>(std::move(rest));
    } catch (const RestTaken&) {
        journal.reset();
        return answerTaken(access, plan.target.id, answer);
    } catch (const JournalError& error) {
        access.failed(error, answer.messages);
        return answer.refuse(unusable, nothingPrinted, reason::journalUnusable);
    }
    return plan;
}

std::variant<std::vector<int>, int> reprintPositions(JournalAccess& access, std::int64_t run,
                                                     const std::optional<std::vector<int>>& listed,
                                                     const std::string& operation, Answer& answer)
{
    const std::string unusable = "Reprint needs the print journal, which cannot be used.";
    const std::unique_ptr<Journal> journal = access.open(answer.messages);
    if (!journal)
        return answer.refuse(unusable, nothingPrinted, reason::journalUnusable);
    if (listed)
        return *listed;
    std::vector<int> positions;
    try {
        for (const TicketRecord& ticket : journal->tickets(run))
            if (ticket.copy == 1 && sameOperation(ticket.operation, operation))
                positions.push_back(ticket.position);
    } catch (const JournalError& error) {
        access.failed(error, answer.messages);
        return answer.refuse(unusable, nothingPrinted, reason::journalUnusable);
    }
    if (positions.empty())
        return answer.refuse("Run " + std::to_string(run) + " has no ticket of operation " + operation + ".",
                             nothingPrinted, reason::notFound);
    return positions;
}

namespace {

// A run of the journal recorded before its tickets are planned, as startOf
// says once it has read the journal; nothing from it: the run named is not there.
std::variant<std::int64_t, int> recordAhead(JournalAccess& access, std::int64_t named,
                                            const std::function<std::optional<RunStart>(Journal&)>& startOf,
                                            const char* unusable, Answer& answer)
{
    const std::unique_ptr<Journal> journal = access.open(answer.messages);
    if (!journal)
        return answer.refuse(unusable, nothingPrinted, reason::journalUnusable);
    try {
        const std::optional<RunStart> start = startOf(*journal);
        if (!start)
            return answer.refuse("No run " + std::to_string(named) + " is in the print journal.", nothingPrinted,
                                 reason::notFound);
        if (!start->requestId)
            return journal->startRun(*start, {});
        std::variant<std::int64_t, RunRecord> claim = journal->claimRequest(*start);
        if (const RunRecord* held = std::get_if<RunRecord>(&claim))
            return answerHeldRequest(*journal, *start, *held, answer);
        return std::get<std::int64_t>(claim);
    } catch (const RestTaken&) {
        return answerTaken(access, named, answer);
    } catch (const JournalError& error) {
        access.failed(error, answer.messages);
        return answer.refuse(unusable, nothingPrinted, reason::journalUnusable);
    }
}

RunStart againStart(std::string source, const RunRecord& of, const PrinterSettings& printer, const std::string& user)
{
    RunStart start = runStart(std::move(source), printer);
    start.location = of.location;
    start.order = of.order;
    start.suffix = of.suffix;
    start.operation = of.operation;
    start.quantity = of.quantity;
    start.user = user;
    return start;
}

}  // namespace

std::variant<std::int64_t, int> recordRest(JournalAccess& access, const RestPlan& plan,
                                           const PrinterSettings& printer, const std::string& user, Answer& answer)
{
    RunStart start = againStart(printTheRestSource(plan.target.id), plan.target, printer, user);
    start.restOf = plan.target.id;
    return recordAhead(
        access, plan.target.id, [&start](Journal&) { return std::optional<RunStart>(start); },
        "Print the Rest needs the print journal, which cannot be used.", answer);
}

namespace {

const char* const reprintUnusable = "Reprint needs the print journal, which cannot be used.";

// A reprint's record; one with a request id names the tickets and copies
// it asked for, to which the id is bound.
std::optional<RunStart> reprintStart(Journal& journal, const ReprintOfRun& reprint, const PrinterSettings& printer,
                                     const std::string& user)
{
    const std::optional<RunRecord> of = journal.run(reprint.run);
    if (!of)
        return std::nullopt;
    const std::string source = reprint.requestId ? reprintSource(reprint.run, reprint.positions, reprint.copies)
                                                 : reprintSource(reprint.run);
    RunStart start = againStart(source, *of, printer, user);
    start.requestId = reprint.requestId;
    start.asked = askedOf(printer, nullptr);
    return start;
}

}  // namespace

std::variant<std::int64_t, int> recordReprint(JournalAccess& access, const ReprintOfRun& reprint,
                                              const PrinterSettings& printer, const std::string& user, Answer& answer)
{
    return recordAhead(
        access, reprint.run, [&](Journal& journal) { return reprintStart(journal, reprint, printer, user); },
        reprintUnusable, answer);
}

// The rest of run was taken by another program between the look and the
// run's record: the caller is told how that one stands.
int answerTaken(JournalAccess& access, std::int64_t run, Answer& answer)
{
    MessageList unseen;
    const std::unique_ptr<Journal> journal = access.open(unseen);
    try {
        if (journal) {
            journal->closeInterruptedRuns();
            if (const std::optional<RunRecord> now = journal->run(run)) {
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
