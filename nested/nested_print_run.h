#pragma once
// The Print command of the nested-part window: finds the main window's
// operation of the located order and writes one nested-part label job per
// matching row to the printer device (Zebra printers only).

#include "platform/message_box.h"
#include "platform/shared_state.h"

#include <string>

// The main window's boxes, read afresh at every Print.
struct MainWindowTexts {
    std::string order;      // txtOrder
    std::string suffix;     // txtSuffix
    std::string location;   // cmbLocation
    std::string operation;  // cmbOper's text
    std::string labelQty;   // txtQty ("Qty to Print:"): the number of labels
};

// What the operator typed into the nested-part window.
struct NestedTexts {
    std::string partNo;
    std::string quantity;
    std::string customer;
    std::string dept;
    std::string comment;
};

struct NestedPrintRequest {
    MainWindowTexts main;
    NestedTexts typed;
};

enum class AfterNestedPrint { KeepWindow, DiscardWindow };

// Replaces the main window's qd and rsOPER with the operation query. When no
// operation row matches, the window that asked is to be discarded.
AfterNestedPrint printNestedTickets(SharedState& main, const NestedPrintRequest& request,
                                    MessageBox& messages);
