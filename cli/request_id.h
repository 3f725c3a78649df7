#pragma once
// A caller's request id: one request, printed once. The journal holds the
// id for the run that prints it; a retry with the id learns how that run,
// or the Print the Rest that finished it, ended.

#include "cli/sub_command.h"
#include "journal/journal.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace cli {

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
// rest is taken): printed (0), printing elsewhere (6) or unfinished (5);
// nothing is printed again.
int answerHeld(Journal& journal, const RunRecord& run, Answer& answer);

// One request id is one request: the same id sent for another request (a
// caller's bug, or two callers that chose one key) prints nothing.
std::optional<int> refuseOtherRequest(const RunStart& asked, const RunRecord& held, Answer& answer);

}  // namespace cli
