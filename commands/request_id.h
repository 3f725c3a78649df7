#pragma once
// A caller's request id: one request, printed once. The journal holds the
// id for the run that prints it; a retry with the id learns how that run,
// or the Print the Rest that finished it, ended.

#include "commands/answer.h"
#include "commands/journal_recorder.h"
#include "journal/journal.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

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

// Why a request id is not accepted; nothing when it is.
std::optional<std::string> requestIdFault(const QString& id);

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
// caller's bug, or two callers that chose one key) prints nothing.
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
