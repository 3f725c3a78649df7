#pragma once
// A caller's request id: one request, printed once. The journal holds the
// id for the run that prints it; a retry with the id learns how that run,
// or the Print the Rest that finished it, ended.

#include "exactly_once/answer.h"
#include "exactly_once/journal_recorder.h"
#include "journal/journal.h"
#include "printing/printer_settings.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

struct NestedTexts;

// The way a caller came in, whose words tell it how to go on: the command
// line's sub-commands or the print service's routes.
enum class Door { CommandLine, Service };

// An answer that knows the door its caller came in by, so that what the
// caller is told to do next is in that door's words. A plain Answer's door
// is the command line (the service answers with DoorAnswer(Door::Service)).
class DoorAnswer : public Answer {
public:
    explicit DoorAnswer(Door door, QJsonObject base = {}, MessageBox* echo = nullptr)
        : Answer(std::move(base), echo), door_(door)
    {
    }
    Door door() const { return door_; }

private:
    Door door_;
};

Door doorOf(const Answer& answer);

// How the caller of door prints the rest of run: "travcard rest --run 4
// prints them." or "POST /v1/runs/4/rest prints them."
std::string printTheRestHint(Door door, std::int64_t run);

// A request id as given, trimmed of white space at either end as the
// other fields are: "pad-X" and "pad-X   " are one id.
std::string trimmedRequestId(const QString& given);

// Why a request id, as given, is not accepted; nothing when it is. Once
// trimmed, an id is 1 to 100 printable characters (an emoji is one):
// control and format characters (U+200B, U+202E, ...), halves of surrogate
// pairs, line and paragraph separators are refused.
std::optional<std::string> requestIdFault(const QString& given);

// What a request asks for beyond the journal's columns, which its request
// id binds as well, encoded for RunStart::asked: a Zebra printer's
// resolution as asked (auto or its dpi), and a nested-part card's fields
// when nested is set.
std::string askedOf(const PrinterSettings& printer, const NestedTexts* nested);

// Where a request stands, following the runs that printed the rest of its
// run: the last of them, and whether it still prints or printed everything.
struct RequestProgress {
    RunRecord last;
    bool printing = false;
    bool printed = false;
};
RequestProgress progressOf(Journal& journal, const RunRecord& run);

// What the caller is told of a run that holds its request id (or whose
// rest is taken): printed (0), printing elsewhere (6) or unfinished (5,
// with how its door prints the rest); nothing is printed again.
int answerHeld(Journal& journal, const RunRecord& run, Answer& answer);

// One request id is one request: the same id sent for another request (a
// caller's bug, or two callers that chose one key) prints nothing. Every
// field that changes the bytes or where they go is compared: those of the
// journal's columns, and what the run's start recorded as asked (a run
// recorded before that was kept is compared by its columns).
std::optional<int> refuseOtherRequest(const RunStart& asked, const RunRecord& held, Answer& answer);

// The journal's claim of a request id, made before anything else happens so
// that two callers with one id print once: the journal's transaction lets
// one of them in, and gives back the id of a claim whose process died
// before it marked a ticket. The claimed run, or the status answered.
std::variant<std::int64_t, int> claimRequest(JournalAccess& journal, const RunStart& run, Answer& answer);

// What a request is told whose id run held holds: a conflict when held
// asked for something else, else where held stands.
int answerHeldRequest(Journal& journal, const RunStart& asked, const RunRecord& held, Answer& answer);

// A claimed run whose printing never began ends as failed with the last
// message shown and gives its request id back, so that the caller may try
// again. A run that began and marked no ticket gave it back when it ended.
void releaseClaim(JournalAccess& journal, std::int64_t run, const std::vector<Message>& shown);

// The choreography every door follows, written once: claim, (queue,) print
// into the claimed run, and give the claim back when nothing was sent.
// claimFor: the run a request prints into, claimed for its request id, or
// 0 when start has none; the status answered when the id is held or bound
// to another request. endClaim: a claimed run that sent nothing gives its
// id back, so that the caller may try again.
std::variant<std::int64_t, int> claimFor(JournalAccess& journal, const RunStart& start, Answer& answer);
void endClaim(JournalAccess& journal, std::int64_t claimed, int sent, const std::vector<Message>& shown);
// A claimed run of a shared queue that its program gave up as it stopped,
// while the run waited for its printer (having recorded nothing), waits
// there again for another program, unless somebody asked it to stop: true
// when it does (or may: then its lease, which expires with the program,
// returns it). False leaves the claim to endClaim.
bool returnToSharedQueue(JournalAccess& journal, std::int64_t claimed, int sent);

// A claimed run that was asked to stop (cancelled from another program)
// before it began ends cancelled, keeping its request id: true, and answer
// says so. False when it was not asked, or the journal cannot tell.
bool cancelledBeforeBegun(JournalAccess& journal, std::int64_t run, Answer& answer);
// Ends a claimed run that has not begun as cancelled, keeping its request
// id; answer says so. Waiting, only one that waits in the services' shared
// queue, taken by nobody: false, with nothing answered, for any other.
bool cancelUnbegun(JournalAccess& journal, std::int64_t run, Answer& answer, bool waiting = false);
