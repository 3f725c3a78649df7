#pragma once
// The jobs of cups: printers as the CUPS scheduler tells them. A cups: run's
// tickets are confirmed only once the scheduler has completed its job: the
// run waits for that (cupsCompletionWait), and a job still under way when
// the run ends is looked at again later, by its id.

#include "printing/printer_destination.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct CupsJobState {
    // job-state: 3 pending, 4 held, 5 processing, 6 stopped, 7 canceled,
    // 8 aborted, 9 completed.
    int state = 0;
    std::string queue;    // the queue it was sent to (job-printer-uri)
    std::string message;  // job-printer-state-message, often empty

    bool completed() const { return state == 9; }
    // Cancelled or aborted: it ended without completing.
    bool endedIncomplete() const { return state == 7 || state == 8; }
};

// How long a cups: run waits for the scheduler to complete its job of bytes:
// the stall time-out, plus as long as a printer taking 8 KB a second needs
// for the job, at most completionWaitCap in all.
std::chrono::milliseconds cupsCompletionWait(const DestinationLimits& limits, std::uint64_t bytes);
inline constexpr std::chrono::minutes completionWaitCap{10};

// The state of each job on the scheduler libcups finds, asked over one
// connection; none for a job it does not know (or no longer keeps), or will
// not tell. The connection and each answer wait at most the connect
// time-out. Throws PrinterError when the scheduler cannot be reached or does
// not answer.
std::vector<std::optional<CupsJobState>> cupsJobStates(const std::vector<int>& jobs, const DestinationLimits& limits);
