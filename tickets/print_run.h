#pragma once
// The Print command of the main window: gathers one TicketData per selected
// operation of the located order and writes Zebra jobs or EPSON pages to the
// printer device.
//
// All queries run before anything is written: the output is built in memory
// and written in one piece, so a database error or a refused step leaves
// nothing half-printed.

#include "platform/database_session.h"
#include "platform/message_box.h"
#include "platform/printer_settings.h"
#include "tickets/order_header.h"

#include <string>
#include <vector>

struct PrintRequest {
    std::string order;              // txtOrder
    std::string location;           // cmbLocation
    std::string suffix;             // txtSuffix
    std::string operationText;      // cmbOper's text, compared with "All"
    std::string selectedOperation;  // the selected list entry, or the typed text
    std::string quantity;           // txtQty
    OrderHeader rsHDR;              // the order that Locate found
    PrinterSession printer;
};

struct PrintResult {
    std::vector<Message> messages;  // to show, in order
    bool boolExtraLine = false;     // the printer session's alternation after the run
};

PrintResult printTickets(DatabaseSession& db, const PrintRequest& request);
