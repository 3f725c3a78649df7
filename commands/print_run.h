#pragma once
// The Print command of the main window: gathers one TicketData per selected
// operation of the located order and writes Zebra jobs or EPSON pages to the
// printer (PRINTER=).
//
// All queries run before anything is sent, so a database error or a refused
// step leaves nothing half-printed. The run's tickets are planned in the
// journal, then the bytes of each ticket are built and sent in turn, so
// memory stays flat however many copies the run prints; the run stops at a
// ticket boundary when cancelled, and says how many were sent.

#include "commands/order_values.h"
#include "db/database_session.h"
#include "exactly_once/journal_recorder.h"
#include "exactly_once/print_ending.h"
#include "printing/print_progress.h"
#include "printing/printer_settings.h"
#include "text/message_box.h"
#include "tickets/order_header.h"

#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

struct PrintRequest {
    OrderSelection order;
    OperationChoice operation;
    std::optional<Quantity> quantity;  // nothing when the typed quantity is not accepted
    OrderHeader header;                // the order that Locate found
    PrinterSession printer;
    std::shared_ptr<PrintProgress> progress;  // may be null
    std::shared_ptr<JournalAccess> journal{};  // may be null: then no run is recorded
    std::string source = "main window";       // where the run came from, for the journal
    std::int64_t journalRun = 0;  // a run claimed in the journal beforehand, to record into
};

struct PrintResult {
    std::vector<Message> messages;  // to show, in order
    bool extraLine = false;          // the printer session's alternation after the run
    std::optional<std::string> preview;  // what a run to preview: produced
    PrintEnding outcome = PrintEnding::Refused;
    TicketCount tickets;
    std::int64_t journalRun = 0;  // the run's id in the journal; 0 when not recorded
    bool journalRefused = false;  // it stopped because the journal could not record its tickets
    bool restTaken = false;       // Print the Rest: another run had taken the rest
    bool gaveUpForPrinter = false;  // given up while it waited for its printer: nothing of it was recorded
    bool notForThisPrinter = false;  // nested-part labels asked of an EPSON printer: nothing was opened
};

class PrintStream;

// How a run that got as far as its printer ended, from its stream: the
// EPSON alternation after the pages sent (each flips it), the preview, the
// ending and the count.
void settleSentRun(PrintResult& result, PrintStream& output, bool finished, const PrinterSession& printer);

// Once stop is set (the run was given up), nothing more reaches the printer.
PrintResult printTickets(DatabaseSession& db, const PrintRequest& request, std::stop_token stop = {});
