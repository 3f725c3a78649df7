#include "commands/request_id.h"

#include "commands/reprint.h"

#include <algorithm>

namespace {

bool isRequestId(const QString& id)
{
    if (id.isEmpty() || id.size() > 100)
        return false;
    return std::all_of(id.begin(), id.end(), [](QChar c) { return c.isPrint(); });
}

// What a request asked for, as the journal records it: a reprint names
// the run it prints again.
template <class Run>
std::string requestText(const Run& run)
{
    std::string reprint;
    if (run.source.starts_with(reprintSourceStart)) {
        reprint = "a reprint of run ";
        reprint += run.source.substr(reprintSourceStart.size());
        reprint += ", ";
    }
    return reprint + "location " + run.location + ", order " + run.order + "/" + run.suffix + ", operation " +
           run.operation + ", quantity " + run.quantity + ", " + run.printerType + " printer";
}

}  // namespace

Door doorOf(const Answer& answer)
{
    const auto* door = dynamic_cast<const DoorAnswer*>(&answer);
    return door ? door->door() : Door::CommandLine;
}

std::string printTheRestHint(Door door, std::int64_t run)
{
    const std::string number = std::to_string(run);
    switch (door) {
    case Door::Service: return "POST /v1/runs/" + number + "/rest prints them.";
    case Door::CommandLine: break;
    }
    return "travcard rest --run " + number + " prints them.";
}

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

RequestProgress progressOf(Journal& journal, const RunRecord& run)
{
    RequestProgress progress{run};
    // Each Print the Rest is a later run: the chain ends.
    for (;;) {
        const RunRecord& last = progress.last;
        if (!last.ended) {
            progress.printing = true;
            return progress;
        }
        // A run that ended otherwise (killed after its last count, say) with
        // every ticket confirmed printed its request as well.
        const bool allConfirmed = last.planned > 0 && last.confirmed >= last.planned && last.inDoubt == 0;
        if (last.outcome == outcomeName(RunOutcome::Printed) || allConfirmed) {
            progress.printed = true;
            return progress;
        }
        const std::optional<std::int64_t> rest = journal.runPrintingTheRestOf(last.id);
        std::optional<RunRecord> next = rest && *rest > last.id ? journal.run(*rest) : std::nullopt;
        if (!next)
            return progress;
        progress.last = std::move(*next);
    }
}

int answerHeld(Journal& journal, const RunRecord& run, Answer& answer)
{
    const RequestProgress progress = progressOf(journal, run);
    const std::string number = std::to_string(run.id);
    const std::string last = std::to_string(progress.last.id);
    const bool finishedLater = progress.last.id != run.id;
    const TicketCount count{run.confirmed, run.planned};
    if (progress.printed) {
        answer.messages.show(finishedLater ? "Request ID was already printed: run " + number + ", finished by run " + last + "."
                                           : "Request ID was already printed as run " + number + ".",
                             MessageIcon::None);
        return answer.end(allSent, reason::alreadyPrinted, runFields("printed", count, run));
    }
    if (progress.printing) {
        answer.messages.show(finishedLater ? "Request ID belongs to run " + number + ", whose rest run " + last +
                                                 " is printing now."
                                           : "Request ID belongs to run " + number + ", which is printing now.",
                             MessageIcon::Warning);
        answer.messages.show("Try again once it has ended.", MessageIcon::None);
        return answer.end(inProgressElsewhere, reason::requestInProgress, runFields("in progress", count, run));
    }
    answer.messages.show("Request ID belongs to run " + last +
                             ", which did not print all its tickets; Print the Rest finishes it.",
                         MessageIcon::Warning);
    answer.messages.show(printTheRestHint(doorOf(answer), progress.last.id), MessageIcon::None);
    return answer.end(stoppedPartWay, reason::stopped, runFields("stopped", count, run));
}

std::optional<int> refuseOtherRequest(const RunStart& asked, const RunRecord& held, Answer& answer)
{
    const std::string heldText = requestText(held);
    const std::string askedText = requestText(asked);
    if (heldText == askedText)
        return std::nullopt;
    answer.messages.show("Request ID " + *asked.requestId + " was used for order " + held.order + "/" + held.suffix +
                             ".",
                         MessageIcon::Critical);
    answer.messages.show("Run " + std::to_string(held.id) + " asked for " + heldText + "; this request asks for " +
                             askedText + ".",
                         MessageIcon::None);
    return answer.end(nothingPrinted, reason::requestConflict);
}

int answerHeldRequest(Journal& journal, const RunStart& asked, const RunRecord& held, Answer& answer)
{
    if (const std::optional<int> refused = refuseOtherRequest(asked, held, answer))
        return *refused;
    journal.closeInterruptedRuns();
    return answerHeld(journal, held, answer);
}

namespace {

const std::string journalUnusableForId = "A request ID needs the print journal, which cannot be used.";

}  // namespace

std::variant<std::int64_t, int> claimRequest(JournalAccess& journal, const RunStart& run, Answer& answer)
{
    const std::unique_ptr<Journal> connection = journal.open(answer.messages);
    if (!connection)
        return answer.refuse(journalUnusableForId, nothingPrinted, reason::journalUnusable);
    try {
        std::variant<std::int64_t, RunRecord> claim = connection->claimRequest(run);
        if (const RunRecord* held = std::get_if<RunRecord>(&claim))
            return answerHeldRequest(*connection, run, *held, answer);
        return std::get<std::int64_t>(claim);
    } catch (const JournalError& error) {
        journal.failed(error, answer.messages);
        return answer.refuse(journalUnusableForId, nothingPrinted, reason::journalUnusable);
    }
}

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
