#pragma once
// The shop order header that Locate found (a row of PUBLIC.SHPORD_HDR), as
// its columns read: the main window keeps it for Print and the nested window.

#include <string>

struct OrderHeader {
    std::string orderId;     // ID_SO, right-aligned in 9
    std::string location;    // ID_LOC
    std::string suffix;      // SUFX_SO
    std::string partNumber;  // ID_ITEM_PAR
};
