#pragma once
// Small text helpers shared by the windows, the print runs and the layers below.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace text {

// Removes leading and trailing space characters only; tabs and other
// characters stay.
std::string_view trimSpaces(std::string_view value);

// A whole number as an operator types it: spaces around it and one leading
// '+' allowed; nothing when it is not one, or too large.
std::optional<std::int64_t> wholeNumber(std::string_view typed);

// Length in characters of UTF-8 text.
std::size_t characterCount(std::string_view utf8);

// Upper-cases the ASCII letters; every other byte stays.
std::string upperAscii(std::string_view value);

}  // namespace text
