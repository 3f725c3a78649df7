#include "exactly_once/ticket_record.h"

#include "journal/field_codec.h"

#include <array>

namespace {

using Field = std::string TicketData::*;
using NestedField = std::string NestedTicketData::*;

constexpr std::array<Field, 9> sharedFields{
    &TicketData::orderNo,  &TicketData::location,  &TicketData::suffix,
    &TicketData::partNo,   &TicketData::customer,  &TicketData::custPart,
    &TicketData::orderCode, &TicketData::suffixCode, &TicketData::labelQty};

constexpr std::array<Field, 9> ownFields{
    &TicketData::qtyOrd,    &TicketData::operNo,   &TicketData::dept,
    &TicketData::workCenter, &TicketData::operDescr, &TicketData::nextOper,
    &TicketData::nextDept,  &TicketData::nextDescr, &TicketData::operCode};

constexpr std::array<NestedField, 16> nestedFields{
    &NestedTicketData::location,  &NestedTicketData::orderNo,   &NestedTicketData::suffix,
    &NestedTicketData::partNo,    &NestedTicketData::quantity,  &NestedTicketData::operNo,
    &NestedTicketData::dept,      &NestedTicketData::workCenter, &NestedTicketData::operDescr,
    &NestedTicketData::customer,  &NestedTicketData::typedDept, &NestedTicketData::comment,
    &NestedTicketData::orderCode, &NestedTicketData::suffixCode, &NestedTicketData::operCode,
    &NestedTicketData::labelQty};

template <class Data, std::size_t N>
std::string encode(const Data& ticket, const std::array<std::string Data::*, N>& fields)
{
    std::string out;
    for (const auto field : fields)
        appendField(out, ticket.*field);
    return out;
}

template <class Data, std::size_t N>
bool decode(std::string_view in, Data& ticket, const std::array<std::string Data::*, N>& fields)
{
    for (const auto field : fields) {
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

std::string encodeNestedTicket(const NestedTicketData& ticket) { return encode(ticket, nestedFields); }

std::optional<NestedTicketData> decodeNestedTicket(std::string_view own)
{
    NestedTicketData ticket;
    if (!decode(own, ticket, nestedFields))
        return std::nullopt;
    return ticket;
}
