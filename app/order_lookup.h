#pragma once
// Locate: finds the shop order header for the typed order, location and
// suffix, and the order's printable operations (type S left out).

#include "platform/message_box.h"
#include "platform/shared_state.h"

#include <string>
#include <vector>

struct LocateRequest {
    std::string order;     // txtOrder, as typed
    std::string location;  // cmbLocation
    std::string suffix;    // txtSuffix
};

struct LocateResult {
    enum class Outcome { OrderTooLong, NotFound, NoOperations, Found, Failed };
    Outcome outcome = Outcome::Failed;
    std::string partNumber;               // ID_ITEM_PAR, once the header is found
    std::vector<std::string> operations;  // ID_OPER of each printable operation
};

// Replaces qd, rsHDR and rsOPER; shows the message of each failed outcome.
LocateResult locateOrder(SharedState& state, const LocateRequest& request, MessageBox& messages);
