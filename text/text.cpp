#include "text/text.h"

#include <charconv>

namespace text {

std::string_view trimSpaces(std::string_view value)
{
    const auto first = value.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    const auto last = value.find_last_not_of(' ');
    return value.substr(first, last - first + 1);
}

std::string upperAscii(std::string_view value)
{
    std::string upper(value);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

std::size_t characterCount(std::string_view utf8)
{
    std::size_t count = 0;
    for (unsigned char c : utf8)
        if ((c & 0xC0) != 0x80)
            ++count;
    return count;
}

std::optional<std::int64_t> wholeNumber(std::string_view typed)
{
    std::string_view digits = trimSpaces(typed);
    if (!digits.empty() && digits.front() == '+')
        digits.remove_prefix(1);
    if (digits.empty() || digits.front() == '+')
        return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

}  // namespace text
