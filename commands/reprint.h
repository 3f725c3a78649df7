#pragma once
// Print the Rest and Reprint: tickets of a run in the journal, built again
// from what the journal kept of them, printed to today's printer as a new
// run whose source names the first. A Zebra ticket comes out byte for byte
// as it was; an EPSON page is laid out with today's alternation, so that the
// forms stay aligned.

#include "commands/journal_recorder.h"
#include "commands/print_run.h"
#include "printing/print_progress.h"
#include "printing/printer_settings.h"

#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

struct ReprintRequest {
    std::int64_t run = 0;        // the run in the journal
    std::vector<int> positions;  // its tickets to print, from 1, in this order
    int copies = 1;              // of each
    std::string source;          // "Print the Rest of run N", "Reprint of run N"
    PrinterSession printer;
    std::shared_ptr<PrintProgress> progress;  // may be null
    std::shared_ptr<JournalAccess> journal;
};

// The tickets Print the Rest prints: those the printer did not confirm, in
// doubt ones included.
std::vector<int> unconfirmedTickets(const std::vector<TicketRecord>& tickets);

// "Print the Rest of run N": the request for the run's unconfirmed tickets.
std::string printTheRestSource(std::int64_t run);
std::string reprintSource(std::int64_t run);

PrintResult reprintTickets(const ReprintRequest& request, std::stop_token stop = {});
