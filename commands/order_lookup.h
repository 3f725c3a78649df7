#pragma once
// Locate: finds the shop order header for the typed order, location and
// suffix, and the order's printable operations (type S left out).

#include "commands/order_values.h"
#include "db/database_session.h"
#include "text/message_box.h"
#include "tickets/order_header.h"

#include <optional>
#include <string>
#include <vector>

struct LocateRequest {
    OrderSelection order;
};

struct LocateResult {
    enum class Outcome { OrderTooLong, NotFound, NoOperations, Found, Failed };
    Outcome outcome = Outcome::Failed;
    std::vector<Message> messages;        // to show, in order
    std::optional<OrderHeader> header;    // the header found (NoOperations, Found)
    std::vector<std::string> operations;  // ID_OPER of each printable operation
};

LocateResult locateOrder(DatabaseSession& db, const LocateRequest& request);
