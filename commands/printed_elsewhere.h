#pragma once
// Before the main window prints an order: whether another station sharing
// the journal printed the same shop order a moment ago, so that the
// operator can keep from printing its tickets twice. A courtesy only: a
// journal that is off or cannot be read finds nothing, and says nothing.

#include "commands/order_values.h"
#include "exactly_once/journal_recorder.h"
#include "journal/journal.h"
#include "text/message_box.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

inline constexpr std::chrono::hours printedElsewhereWithin{1};

// The newest run of the order (its location, order and suffix as runs
// record them) that started at or after since (ms since the epoch) at a
// station other than this one, and had the printer take a ticket.
std::optional<RunRecord> recentRunElsewhere(Journal& journal, const OrderSelection& order, std::int64_t since);

struct PrintedElsewhere {
    std::vector<Message> messages;  // none: the job runner's shape
    std::optional<RunRecord> run;
};

// The same, within printedElsewhereWithin of now, read from the station's
// journal on the calling thread (a blocking call: the job runner's).
PrintedElsewhere findPrintedElsewhere(const std::shared_ptr<JournalAccess>& journal, const OrderSelection& order);

// "Order 12345 was printed at station 3 at 10:42 (run 881). Print it again?"
// The time is the run's start in this station's time.
std::string printAgainQuestion(const RunRecord& run);
