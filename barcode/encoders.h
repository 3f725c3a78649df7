#pragma once

// The encoders behind RvBarCode. Each turns a text into a bar pattern: a
// string of element widths read left to right, elements alternating bar and
// space, the first a bar.
//
//   "N" / "W"     narrow / wide element          Code 39, Interleaved 2 of 5
//   "A" .. "D"    1 .. 4 modules                 Code 128
//   "0" .. "4"    0 .. 4 modules                 UPC/EAN
//   ">" / "<"     full-height stretch opens / closes; not an element
//
// "0" is an element of zero width: it draws nothing but the next element
// has the other colour.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace travcard::barcode {

// "1" to "9" count by their value; every other character counts as 0.
constexpr int digitValue(char c) { return c >= '1' && c <= '9' ? c - '0' : 0; }

// Encodes every character of text, start/stop "*" included by the caller.
// Lower case is folded to upper case; a character without a Code 39 row is
// left out together with its inter-character gap.
std::string Code39Pattern(std::string_view text);

// The nine element widths ("N"/"W", bar first) of one Code 39 character,
// lower case folded to upper case; empty for a character Code 39 lacks.
std::string_view Code39Elements(char c);

// Start, the digits in interleaved pairs, stop. An odd number of digits is
// completed with a leading 0.
std::string I2of5Pattern(std::string_view digits);

// Start, data in code sets B and C, check character and stop. An empty text
// gives an empty list.
std::vector<std::uint8_t> Code128Values(std::string_view text);

// Throws std::out_of_range for a value above 106.
std::string Code128Pattern(std::span<const std::uint8_t> values);

// The GS1 mod-10 check digit, "0" to "9".
std::string Mod10Check(std::string_view digits);

// Guards and digits of a UPC-A (12 digits) or EAN-8 (8 digits) symbol; the
// digits already end in their check digit.
std::string UPCPattern(std::string_view digits);

}  // namespace travcard::barcode
