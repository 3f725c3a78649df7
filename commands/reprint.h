#pragma once
// Print the Rest and Reprint: tickets of a run in the journal, built again
// from what the journal kept of them, printed to today's printer as a new
// run whose source names the first. Print the Rest sends each ticket as it
// was: a Zebra job byte for byte, an EPSON page laid out with today's
// alternation, so that the forms stay aligned. Reprint makes a given number
// of cards of each ticket: one Zebra job with that label quantity, or that
// many EPSON pages. Both record their run in the journal before the printer
// is opened; the rest of a run is printed by one run only (a preview's
// excepted, which prints nothing), and only once the run has ended.

#include "commands/print_run.h"
#include "exactly_once/journal_recorder.h"
#include "exactly_once/rest_plan.h"
#include "printing/print_progress.h"
#include "printing/printer_settings.h"

#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

struct ReprintRequest {
    std::int64_t run = 0;        // the run in the journal
    std::vector<int> positions;  // its tickets to print, from 1, in this order
    int cards = 0;               // of each (Reprint); 0: as each was printed (Print the Rest)
    std::string source;          // "Print the Rest of run N", "Reprint of run N"
    PrinterSession printer;
    std::shared_ptr<PrintProgress> progress;  // may be null
    std::shared_ptr<JournalAccess> journal;
    // A run recorded beforehand (its start, without tickets), to plan and
    // record into: its record holds the rest it claimed and who asked.
    std::int64_t journalRun = 0;
};

// The tickets Print the Rest prints: those the printer did not confirm, in
// doubt ones included.
std::vector<int> unconfirmedTickets(const std::vector<TicketRecord>& tickets);


PrintResult reprintTickets(const ReprintRequest& request, std::stop_token stop = {});
