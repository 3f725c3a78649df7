#pragma once
// The ZPL II label job of a nested part's move ticket. It shares the job
// prologue, the epilogue with the print quantity and the two bottom barcodes
// with the move ticket job.

#include <string>

// What the operator typed into the nested-part window.
struct NestedTexts {
    std::string partNo;
    std::string quantity;
    std::string customer;
    std::string dept;
    std::string comment;
};

// Everything one nested-part label prints, as UTF-8 text, each value already
// in the form in which it is printed.
struct NestedTicketData {
    std::string location;    // header ID_LOC, as stored
    std::string orderNo;     // header ID_SO: first 9 characters, trimmed
    std::string suffix;      // header SUFX_SO, as stored
    std::string partNo;      // typed part number, as typed
    std::string quantity;    // typed quantity, as typed; printed only
    std::string operNo;      // operation ID_OPER, as stored
    std::string dept;        // operation ID_DEPT, as stored
    std::string workCenter;  // operation ID_WC, as stored
    std::string operDescr;   // operation DESCR_OPER_1, as stored
    std::string customer;    // typed customer, trimmed
    std::string typedDept;   // typed department, trimmed
    std::string comment;     // typed comment, as typed
    std::string orderCode;   // main window's order, zero-filled to 6
    std::string suffixCode;  // main window's suffix, zero-filled to 3
    std::string operCode;    // operNo trimmed, zero-filled to 4
    std::string labelQty;    // main window's quantity, trimmed: the number of labels
};

// The 31-line job.
std::string nestedJob(const NestedTicketData& ticket, int dpi = 203);
