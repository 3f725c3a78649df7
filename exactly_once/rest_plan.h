#pragma once
// Print the Rest and Reprint as the journal sees them: which tickets of a
// run are left to print, and which are in doubt; a run recorded ahead of
// its printing, claimed so that two programs finishing one run print it
// once; and how such runs are named in the journal, to which a reprint's
// request id is bound.

#include "exactly_once/answer.h"
#include "exactly_once/journal_recorder.h"
#include "journal/journal.h"
#include "printing/printer_settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// What to do with tickets that may already have printed.
enum class InDoubt { Unsaid, Print, Skip };

// What Print the Rest of a run prints: the run named, or the last Print the
// Rest that finished it part-way, and its tickets.
struct RestPlan {
    RunRecord target;
    std::vector<int> positions;
};

// The rest of the run named (by its number, or by the request id it holds).
// Nothing, answered, when nothing is to be printed: the run is still
// printing, everything was printed, tickets in doubt were not decided on.
// choices names the caller's two answers for tickets in doubt, as the caller writes them.
struct InDoubtChoices {
    std::string print, skip;
};
std::variant<RestPlan, int> planRest(JournalAccess& access, std::int64_t named, const std::string& requestId,
                                     InDoubt inDoubt, const InDoubtChoices& choices, const PrinterSettings& printer,
                                     Answer& answer);

// The positions Reprint prints again: those listed, or the cards of the
// operation (the first copy of each), read as the window's Find reads an
// operation, by its number.
std::variant<std::vector<int>, int> reprintPositions(JournalAccess& access, std::int64_t run,
                                                     const std::optional<std::vector<int>>& listed,
                                                     const std::string& operation, Answer& answer);

// A run recorded ahead of its printing, for a caller who learns its number
// at once: the rest of plan.target (claimed, so that no other program
// prints it), or a reprint of run (claiming requestId when there is one, so
// that a retry prints nothing again). Its number, or the status answered.
std::variant<std::int64_t, int> recordRest(JournalAccess& access, const RestPlan& plan,
                                           const PrinterSettings& printer, const std::string& user, Answer& answer);
struct ReprintOfRun {
    std::int64_t run = 0;
    std::vector<int> positions;
    int copies = 1;
    std::optional<std::string> requestId;
};
std::variant<std::int64_t, int> recordReprint(JournalAccess& access, const ReprintOfRun& reprint,
                                              const PrinterSettings& printer, const std::string& user, Answer& answer);

// What a caller is told whose run's rest another program printed, or prints now.
int answerTaken(JournalAccess& access, std::int64_t run, Answer& answer);

// "Print the Rest of run N": the request for the run's unconfirmed tickets.
std::string printTheRestSource(std::int64_t run);
inline constexpr std::string_view reprintSourceStart = "Reprint of run ";
std::string reprintSource(std::int64_t run);
// "Reprint of run N, tickets 2-4,7, 2 copies": a reprint with a request id
// records what it asked for, to which the id is bound.
std::string reprintSource(std::int64_t run, const std::vector<int>& positions, int copies);

// What the operator is told of a run's tickets in doubt: "7 tickets of run
// 12 may already have printed.", or, of a run whose printer proved some
// printed, "212 tickets reached the printer, 205 of them printed; 7 may
// have printed."
std::string inDoubtLine(const RunRecord& run, int inDoubt);

// Why the rest of run is not printed: run by printed it, or prints it now.
std::string restTakenMessage(std::int64_t run, std::int64_t by);
std::string stillPrintingMessage(std::int64_t run);

// Whether the journal kept what the run's tickets are built from. A run
// that failed before they were built kept nothing (a request id claimed
// for an order that was not found), or their operations only (its printer
// could not be opened), and the journal cannot print them again.
bool ticketsKept(const RunRecord& run, const std::vector<TicketRecord>& tickets);
std::string notBuiltMessage(std::int64_t run);
