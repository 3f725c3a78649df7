#pragma once
// The Print command of the nested-part window: finds the main window's
// operation of the located order and writes one nested-part label job per
// matching row to the printer (Zebra printers only), each sent as it is built.

#include "commands/order_values.h"
#include "db/database_session.h"
#include "exactly_once/journal_recorder.h"
#include "exactly_once/print_ending.h"
#include "printing/print_progress.h"
#include "printing/printer_settings.h"
#include "text/message_box.h"
#include "tickets/nested_job.h"
#include "tickets/order_header.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

// The main window's boxes, read afresh at every Print.
struct MainWindowTexts {
    std::string order;      // txtOrder
    std::string suffix;     // txtSuffix
    std::string location;   // cmbLocation
    std::string operation;  // cmbOper's text
    std::string labelQty;   // txtQty ("Qty to Print:"): the number of labels
};

struct NestedPrintRequest {
    OrderSelection order;
    OperationChoice operation;
    std::string labelQty;               // the main window's quantity, trimmed: the number of labels
    std::optional<OrderHeader> header;  // what the main window's last Locate found
    PrinterSettings printer;
    NestedTexts typed;                  // as typed; its quantity is parsed below
    std::optional<Quantity> quantity;   // nothing when the typed quantity is not accepted
    std::shared_ptr<PrintProgress> progress;  // may be null
    std::shared_ptr<JournalAccess> journal{};  // may be null: then no run is recorded
    std::string source = "nested window";      // where the run came from, for the journal
    std::int64_t journalRun = 0;  // a run claimed in the journal beforehand, to record into
};

// The request for what the operator typed into both windows, at the time of
// Print, with the order the main window's last Locate found (none when it
// found nothing).
NestedPrintRequest nestedPrintRequest(const MainWindowTexts& main, std::optional<OrderHeader> header,
                                      PrinterSettings printer, const NestedTexts& typed,
                                      std::shared_ptr<PrintProgress> progress = nullptr);

enum class AfterNestedPrint { KeepWindow, DiscardWindow };

struct NestedPrintResult {
    std::vector<Message> messages;  // to show, in order
    // When no operation row matches, the window that asked is to be discarded.
    AfterNestedPrint after = AfterNestedPrint::KeepWindow;
    std::optional<std::string> preview;  // what a run to preview: produced
    PrintEnding outcome = PrintEnding::Refused;
    TicketCount tickets;
    std::int64_t journalRun = 0;  // the run's id in the journal; 0 when not recorded
    bool journalRefused = false;  // it stopped because the journal could not record its card
    bool notForThisPrinter = false;  // an EPSON printer: the card is made for Zebra printers only
    bool gaveUpForPrinter = false;   // given up while it waited for its printer: nothing of it was recorded
};

// Once stop is set (the run was given up), nothing more reaches the printer.
NestedPrintResult printNestedTickets(DatabaseSession& db, const NestedPrintRequest& request,
                                     std::stop_token stop = {});
