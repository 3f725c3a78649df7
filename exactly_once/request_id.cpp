#include "exactly_once/request_id.h"

#include "exactly_once/rest_plan.h"
#include "journal/field_codec.h"
#include "tickets/nested_job.h"

#include <algorithm>

namespace {

constexpr qsizetype longestRequestId = 100;

// Printable: not a control, format, private-use or unassigned character, nor
// half of a surrogate pair; nor a line or paragraph separator, which would
// break the line of a log or a table the id is written in.
bool printable(char32_t c)
{
    const QChar::Category category = QChar::category(c);
    return QChar::isPrint(c) && category != QChar::Separator_Line && category != QChar::Separator_Paragraph;
}

// The characters of id, each surrogate pair as one; nothing when a half of
// one stands alone.
std::optional<std::vector<char32_t>> codePoints(const QString& id)
{
    std::vector<char32_t> points;
    for (qsizetype i = 0; i < id.size(); ++i) {
        const QChar c = id.at(i);
        if (c.isHighSurrogate() && i + 1 < id.size() && id.at(i + 1).isLowSurrogate()) {
            points.push_back(QChar::surrogateToUcs4(c, id.at(i + 1)));
            ++i;
        } else if (c.isSurrogate()) {
            return std::nullopt;
        } else {
            points.push_back(c.unicode());
        }
    }
    return points;
}

// A field a request id binds, as its refusal names it: "operation 20".
struct Bound {
    std::string label;  // empty: the value says what it is
    std::string value;
    bool operator==(const Bound&) const = default;
};

std::string quoted(const std::string& text) { return '"' + text + '"'; }

// What a request asked for, as the journal's columns record it: a reprint
// names the run it prints again, with its tickets and copies.
template <class Run>
std::vector<Bound> columnsBound(const Run& run)
{
    std::vector<Bound> bound{{"location", run.location},         {"order", run.order},
                             {"suffix", run.suffix},             {"operation", run.operation},
                             {"quantity", run.quantity},         {"printer type", run.printerType},
                             {"printer", run.printer}};
    if (run.source.starts_with(reprintSourceStart))
        bound.insert(bound.begin(), {"a reprint of run", run.source.substr(reprintSourceStart.size())});
    return bound;
}

// The fields askedOf encoded, as label and value; those before any damage.
std::vector<Bound> askedBound(std::string_view asked)
{
    std::vector<Bound> bound;
    while (!asked.empty()) {
        const std::optional<std::string_view> label = readField(asked);
        const std::optional<std::string_view> value = label ? readField(asked) : std::nullopt;
        if (!value)
            break;
        bound.push_back({std::string(*label), std::string(*value)});
    }
    return bound;
}

// The fields of one side that the other does not hold alike: "operation
// All, printer lp".
std::string differing(const std::vector<Bound>& side, const std::vector<Bound>& other)
{
    std::string text;
    for (const Bound& field : side) {
        if (std::find(other.begin(), other.end(), field) != other.end())
            continue;
        if (!text.empty())
            text += ", ";
        text += field.label.empty() ? field.value : field.label + " " + field.value;
    }
    return text;
}

// What run asked for that a request with its id does not, and the other way round.
std::string conflictText(std::int64_t run, const std::string& held, const std::string& asked)
{
    const std::string number = std::to_string(run);
    if (held.empty() && asked.empty())
        return "Run " + number + " asked for something else.";
    if (asked.empty())
        return "Run " + number + " asked for " + held + "; this request does not.";
    if (held.empty())
        return "This request asks for " + asked + "; run " + number + " did not.";
    return "Run " + number + " asked for " + held + "; this request asks for " + asked + ".";
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

std::string trimmedRequestId(const QString& given) { return given.trimmed().toStdString(); }

std::optional<std::string> requestIdFault(const QString& given)
{
    const QString id = given.trimmed();
    // Qt decodes the command line as UTF-8, each byte that is not as U+FFFD:
    // two different ids would be kept as one.
    if (id.contains(QChar::ReplacementCharacter))
        return "The request ID is not valid UTF-8 text, so it cannot be told apart from others.";
    const std::optional<std::vector<char32_t>> points = codePoints(id);
    if (!points)
        return "The request ID is not valid Unicode text, so it cannot be told apart from others.";
    if (points->empty())
        return "The request ID is blank.";
    if (points->size() > longestRequestId)
        return "The request ID is longer than 100 characters.";
    if (!std::all_of(points->begin(), points->end(), printable))
        return "The request ID holds a character that cannot be printed (a control or format character, or a line "
               "break): a request ID is 1 to 100 printable characters.";
    return std::nullopt;
}

std::string askedOf(const PrinterSettings& printer, const NestedTexts* nested)
{
    std::string asked;
    const auto add = [&asked](std::string_view label, const std::string& value) {
        appendField(asked, label);
        appendField(asked, value);
    };
    if (nested) {
        add("", "a nested-part card");
        add("part", quoted(nested->partNo));
        add("nested quantity", quoted(nested->quantity));
        add("customer", quoted(nested->customer));
        add("department", quoted(nested->dept));
        add("comment", quoted(nested->comment));
    }
    if (printer.kind == PrinterKind::Zebra)
        add("resolution",
            printer.resolution.detect ? std::string("auto") : std::to_string(printer.resolution.dpi) + " dpi");
    return asked;
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
    const RunRecord& ended = progress.last;
    if (ended.outcome == outcomeName(RunOutcome::Cancelled) && ended.confirmed == 0 && ended.inDoubt == 0 &&
        !finishedLater) {
        answer.messages.show("Request ID belongs to run " + last + ", which was cancelled before it printed anything.",
                             MessageIcon::Warning);
        return answer.end(stoppedPartWay, reason::cancelled, runFields("cancelled", count, run));
    }
    answer.messages.show("Request ID belongs to run " + last +
                             ", which did not print all its tickets; Print the Rest finishes it.",
                         MessageIcon::Warning);
    answer.messages.show(printTheRestHint(doorOf(answer), progress.last.id), MessageIcon::None);
    return answer.end(stoppedPartWay, reason::stopped, runFields("stopped", count, run));
}

std::optional<int> refuseOtherRequest(const RunStart& asked, const RunRecord& held, Answer& answer)
{
    std::vector<Bound> heldFields = columnsBound(held);
    std::vector<Bound> askedFields = columnsBound(asked);
    bool same = heldFields == askedFields;
    if (held.asked) {
        same = same && *held.asked == asked.asked;
        for (Bound& field : askedBound(*held.asked))
            heldFields.push_back(std::move(field));
        for (Bound& field : askedBound(asked.asked))
            askedFields.push_back(std::move(field));
    }
    if (same)
        return std::nullopt;
    const std::string heldText = differing(heldFields, askedFields);
    const std::string askedText = differing(askedFields, heldFields);
    answer.messages.show("Request ID " + *asked.requestId + " was used for order " + held.order + "/" + held.suffix +
                             ".",
                         MessageIcon::Critical);
    answer.messages.show(conflictText(held.id, heldText, askedText), MessageIcon::None);
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
const std::string cancelledBeforeBegunText = "The run was cancelled before it began.";

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
    const std::string message = shown.empty() ? std::string() : shown.back().text;
    const auto release = [run, message](Journal& connection) { connection.releaseRun(run, message); };
    MessageList unseen;
    if (const std::unique_ptr<Journal> connection = journal.open(unseen)) {
        try {
            release(*connection);
            return;
        } catch (const JournalError&) {
        }
    }
    // Refused now (the journal busy, say): tried again until it takes it, so
    // that the id is not held, printing nothing, for as long as this program runs.
    journal.keepEnd(release);
}

std::variant<std::int64_t, int> claimFor(JournalAccess& journal, const RunStart& start, Answer& answer)
{
    if (!start.requestId)
        return std::int64_t{0};
    return claimRequest(journal, start, answer);
}

void endClaim(JournalAccess& journal, std::int64_t claimed, int sent, const std::vector<Message>& shown)
{
    if (claimed && sent == 0)
        releaseClaim(journal, claimed, shown);
}

bool returnToSharedQueue(JournalAccess& journal, std::int64_t claimed, int sent)
{
    if (!claimed || sent != 0)
        return false;
    MessageList unseen;
    try {
        // Unreachable now, it is left to its lease, which expires with this
        // program and returns it: given back later, it would end a run whose
        // caller was told it is queued.
        const std::unique_ptr<Journal> connection = journal.open(unseen);
        return !connection || connection->returnShared(claimed);
    } catch (const JournalError&) {
        // It may have gone back, and been taken since: left as it is.
        return true;
    }
}

bool cancelledBeforeBegun(JournalAccess& journal, std::int64_t run, Answer& answer)
{
    MessageList unseen;
    const std::unique_ptr<Journal> connection = run ? journal.open(unseen) : nullptr;
    if (!connection)
        return false;
    try {
        if (!connection->stopAsked(run))
            return false;
    } catch (const JournalError&) {
        return false;  // the run's own record stops it if it cannot go on
    }
    cancelUnbegun(journal, run, answer);
    return true;
}

bool cancelUnbegun(JournalAccess& journal, std::int64_t run, Answer& answer, bool waiting)
{
    const auto cancel = [run](Journal& connection) { connection.cancelUnbegun(run, cancelledBeforeBegunText); };
    std::optional<RunRecord> record;
    MessageList unseen;
    try {
        const std::unique_ptr<Journal> connection = journal.open(unseen);
        if (!connection)
            throw JournalError("The print journal cannot be opened.");
        if (waiting) {
            if (!connection->cancelShared(run, cancelledBeforeBegunText))
                return false;
        } else {
            cancel(*connection);
        }
        record = connection->run(run);
    } catch (const JournalError&) {
        if (waiting)
            return false;
        // Refused now: tried again until it takes it, so that the run does
        // not stay open, holding its request id, for as long as this runs.
        journal.keepEnd(cancel);
    }
    answer.messages.show(cancelledBeforeBegunText, MessageIcon::None);
    answer.end(stoppedPartWay, reason::cancelled, runFields("cancelled", TicketCount{0, 0}, record));
    return true;
}
