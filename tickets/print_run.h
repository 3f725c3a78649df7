#pragma once
// The Print command of the main window: gathers one TicketData per selected
// operation of the located order and writes Zebra jobs or EPSON pages to the
// printer device.
//
// All queries run before anything is written: the output is built in memory
// and written in one piece, so a database error or a refused step leaves
// nothing half-printed.

#include "platform/message_box.h"
#include "platform/shared_state.h"

#include <string>

struct PrintRequest {
    std::string order;              // txtOrder
    std::string location;           // cmbLocation
    std::string suffix;             // txtSuffix
    std::string operationText;      // cmbOper's text, compared with "All"
    std::string selectedOperation;  // the selected list entry, or the typed text
    std::string quantity;           // txtQty
};

// extraLine is the main window's EPSON alternation flag.
void printTickets(SharedState& state, const PrintRequest& request, bool& extraLine,
                  MessageBox& messages);
