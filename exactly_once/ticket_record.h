#pragma once
// A TicketData as the journal keeps it, so that the ticket can be built
// again: what every ticket of a run shares is encoded once for the run, the
// rest once per ticket. Fields are length-prefixed, so any text survives.

#include "tickets/nested_job.h"
#include "tickets/ticket_data.h"

#include <optional>
#include <string>
#include <string_view>

std::string encodeSharedFields(const TicketData& ticket);
std::string encodeTicketFields(const TicketData& ticket);

// Nothing when the encodings are damaged.
std::optional<TicketData> decodeTicket(std::string_view shared, std::string_view own);

// A nested-part label: every field with the label.
std::string encodeNestedTicket(const NestedTicketData& ticket);
std::optional<NestedTicketData> decodeNestedTicket(std::string_view own);
