#pragma once
// The commands as a caller without a window asks for them (a script on the
// command line, the ERP through the print service): an order, or its
// nested-part card, printed once per request id; the rest of a run; cards
// of a run printed again. Each answers its caller with a status, a reason
// and the messages an operator would have read; the front doors only read
// their input into these requests and write the answer out.

#include "commands/answer.h"
#include "commands/nested_print_run.h"
#include "commands/order_run.h"
#include "commands/order_values.h"
#include "commands/reprint.h"
#include "printing/print_progress.h"
#include "printing/printer_settings.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// An order to print, as the main window's boxes hold it.
struct OrderAsk {
    OrderSelection order;
    std::string orderText;  // the order number as given, trimmed
    std::string operation;  // "All" or the operation's number
    std::string quantity;   // a whole number from 1 to maxQuantity, in digits
    PrinterSettings printer;
    std::string source;  // where it came from, for the journal
    std::string user;    // who asked, for the journal; empty: this program's account
    std::optional<std::string> requestId;
};

// The journal's record of the request, as its request id is claimed; of a
// nested-part card when nested is set, whose fields the id binds as well.
RunStart claimedStart(const OrderAsk& ask, const std::optional<NestedTexts>& nested = std::nullopt);

// Locates the order and prints it, into the run claimed for its request id
// when claimed is set; a claimed run that prints nothing gives its id back.
int printOrder(OrderRun& run, const OrderAsk& ask, const std::shared_ptr<JournalAccess>& journal,
               std::shared_ptr<PrintProgress> progress, std::int64_t claimed, Answer& answer);

// The nested-part card of one operation of the order.
int printNestedCard(OrderRun& run, const OrderAsk& ask, const NestedTexts& typed,
                    const std::shared_ptr<JournalAccess>& journal, std::shared_ptr<PrintProgress> progress,
                    std::int64_t claimed, Answer& answer);

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


// Runs Print the Rest or Reprint, and answers how it ended; when another
// program took the rest meanwhile, how that one stands.
int printAgain(OrderRun& run, ReprintRequest request, Answer& answer);
