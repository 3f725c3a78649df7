#pragma once
// Whether a printer can take a job now, asked without sending one: a
// Zebra printer's answer to its status request, a CUPS queue's state, and
// whether a path opens for writing. Each is bounded by DestinationLimits
// and throws PrinterError, with its reason, when the printer cannot be
// reached or opened.

#include "printing/printer_destination.h"
#include "printing/zebra_status.h"

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

// What a Zebra printer answered to ~HS.
struct HostStatusAnswer {
    std::string reply;                  // empty: no answer within the time limit
    std::optional<ZebraStatus> status;  // none: no answer, or one that could not be read
};

// Sends ~HS on a destination that answers requests and waits at most
// timeout for the answer; throws PrinterError when the connection fails.
HostStatusAnswer askHostStatus(PrinterDestination& destination, std::chrono::milliseconds timeout);

// A CUPS queue's state, as the scheduler tells it.
struct CupsQueueState {
    int state = 0;  // printer-state: 3 idle, 4 processing, 5 stopped
    bool accepting = false;            // printer-is-accepting-jobs
    std::vector<std::string> reasons;  // printer-state-reasons, without "none"
    std::string message;               // printer-state-message, often empty

    bool stopped() const { return state == 5; }
    // "idle", "processing", "stopped" (or "unknown").
    std::string stateName() const;
};

// The state of the CUPS queue on the server libcups finds (as printing
// to cups:QUEUE does); none when the server has no such queue. The
// connection and the answer each wait at most the connect time-out.
std::optional<CupsQueueState> cupsQueueState(const std::string& queue, const DestinationLimits& limits);

// Checks that path opens for writing as printing opens it, within the open
// time-out (a FIFO nobody reads, a device that is not there, a missing
// folder or no permission throws PrinterError), without truncating,
// writing or creating anything: a file that does not exist yet passes when
// printing would create it. A FIFO's reader sees it opened and closed, as
// after an empty job.
void checkPathOpens(const std::string& path, const DestinationLimits& limits, std::stop_token stop = {});
