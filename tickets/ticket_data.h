#pragma once
// Everything one move ticket prints, as UTF-8 text.

#include <string>

struct TicketData {
    std::string orderNo;     // header ID_SO: first 9 characters, trimmed
    std::string location;    // header ID_LOC, as stored
    std::string suffix;      // header SUFX_SO
    std::string partNo;      // header ID_ITEM_PAR, as stored
    std::string qtyOrd;      // operation QTY_ORD
    std::string operNo;      // operation ID_OPER, as stored
    std::string dept;        // operation ID_DEPT, as stored
    std::string workCenter;  // operation ID_WC, as stored
    std::string operDescr;   // operation DESCR_OPER_1
    std::string customer;    // item master CODE_USER_3_IM
    std::string custPart;    // item master KEY_ALT
    std::string nextOper;    // successor ID_OPER, or "DONE"
    std::string nextDept;    // successor ID_DEPT + " " + ID_WC, or "DONE"
    std::string nextDescr;   // successor DESCR_OPER_1, or empty
    std::string orderCode;   // typed order, zero-filled to 6
    std::string suffixCode;  // typed suffix, zero-filled to 3
    std::string operCode;    // operNo trimmed, zero-filled to 4
    std::string labelQty;    // typed quantity, trimmed
};
