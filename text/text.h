#pragma once
// Small text helpers shared by the windows, the print runs and the layers below.

#include <string>
#include <string_view>

namespace text {

// Removes leading and trailing space characters only; tabs and other
// characters stay.
std::string_view trimSpaces(std::string_view value);

// Length in characters of UTF-8 text.
std::size_t characterCount(std::string_view utf8);

// Upper-cases the ASCII letters; every other byte stays.
std::string upperAscii(std::string_view value);

}  // namespace text
