#include "commands/ticket_record.h"

#include <array>
#include <vector>

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

// Each field: its length as a base-128 number (low bits first), then its bytes.
template <std::size_t N>
std::string encode(const TicketData& ticket, const std::array<Field, N>& fields)
{
    std::string out;
    for (const Field field : fields) {
        const std::string& value = ticket.*field;
        for (std::size_t length = value.size();; length >>= 7) {
            const auto low = static_cast<unsigned char>(length & 0x7f);
            if (length < 0x80) {
                out.push_back(static_cast<char>(low));
                break;
            }
            out.push_back(static_cast<char>(low | 0x80));
        }
        out += value;
    }
    return out;
}

template <std::size_t N>
bool decode(std::string_view in, TicketData& ticket, const std::array<Field, N>& fields)
{
    for (const Field field : fields) {
        std::size_t length = 0;
        for (int shift = 0;; shift += 7) {
            if (in.empty() || shift > 28)
                return false;
            const auto byte = static_cast<unsigned char>(in.front());
            in.remove_prefix(1);
            length |= std::size_t{byte & 0x7fu} << shift;
            if (!(byte & 0x80))
                break;
        }
        if (length > in.size())
            return false;
        ticket.*field = std::string(in.substr(0, length));
        in.remove_prefix(length);
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
