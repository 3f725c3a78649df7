#pragma once
// The commands as a caller without a window asks for them (a script on the
// command line, the ERP through the print service): an order, or its
// nested-part card, printed once per request id; the rest of a run; cards
// of a run printed again. Each answers its caller with a status, a reason
// and the messages an operator would have read; the front doors only read
// their input into these requests and write the answer out.

#include "commands/nested_print_run.h"
#include "commands/order_run.h"
#include "commands/order_values.h"
#include "commands/reprint.h"
#include "exactly_once/answer.h"
#include "exactly_once/rest_plan.h"
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

// Runs Print the Rest or Reprint, and answers how it ended; when another
// program took the rest meanwhile, how that one stands.
int printAgain(OrderRun& run, ReprintRequest request, Answer& answer);
