#include "commands/ticket_record.h"

#include "journal/field_codec.h"

#include <array>

namespace {

using Field = std::string TicketData::*;

constexpr std::array<Field, 9> sharedFields{
    &TicketData::orderNo,  &TicketData::location,  &TicketData::suffix,
    &TicketData::partNo,   &TicketData::customer,  &TicketData::custPart,
    &TicketData::orderCode, &TicketData::suffixCode, &TicketData::labelQty};

constexpr std::array<Field, 9> ownFields{
    &TicketData::qtyOrd,    &TicketData::operNo,   &TicketData::dept,
    &TicketData::workCenter, &TicketData::operDescr, &TicketData::nextOper,
    &TicketData::nextDept,  &TicketData::nextDescr, &TicketData::operCode};

template <std::size_t N>
std::string encode(const TicketData& ticket, const std::array<Field, N>& fields)
{
    std::string out;
    for (const Field field : fields)
        appendField(out, ticket.*field);
    return out;
}

template <std::size_t N>
bool decode(std::string_view in, TicketData& ticket, const std::array<Field, N>& fields)
{
    for (const Field field : fields) {
        const std::optional<std::string_view> value = readField(in);
        if (!value)
            return false;
        ticket.*field = std::string(*value);
    }
    return in.empty();
}

}  // namespace

std::string encodeSharedFields(const TicketData& ticket) { return encode(ticket, sharedFields); }
std::string encodeTicketFields(const TicketData& ticket) { return encode(ticket, ownFields); }

std::optional<TicketData> decodeTicket(std::string_view shared, std::string_view own)
{
    TicketData ticket;
    if (!decode(shared, ticket, sharedFields) || !decode(own, ticket, ownFields))
        return std::nullopt;
    return ticket;
}
