#pragma once
// Length-prefixed fields, for the blobs the journal keeps: each field is its
// length as a base-128 number (low bits first), then its bytes, so that any
// text survives.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline void appendNumber(std::string& out, std::uint64_t number)
{
    for (;; number >>= 7) {
        const auto low = static_cast<unsigned char>(number & 0x7f);
        if (number < 0x80) {
            out.push_back(static_cast<char>(low));
            return;
        }
        out.push_back(static_cast<char>(low | 0x80));
    }
}

inline void appendField(std::string& out, std::string_view field)
{
    appendNumber(out, field.size());
    out += field;
}

// Reads from the front of in; nothing when in is damaged.
inline std::optional<std::uint64_t> readNumber(std::string_view& in)
{
    std::uint64_t number = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (in.empty())
            return std::nullopt;
        const auto byte = static_cast<unsigned char>(in.front());
        in.remove_prefix(1);
        number |= std::uint64_t{byte & 0x7fu} << shift;
        if (!(byte & 0x80))
            return number;
    }
    return std::nullopt;
}

inline std::optional<std::string_view> readField(std::string_view& in)
{
    const std::optional<std::uint64_t> length = readNumber(in);
    if (!length || *length > in.size())
        return std::nullopt;
    const std::string_view field = in.substr(0, static_cast<std::size_t>(*length));
    in.remove_prefix(field.size());
    return field;
}
