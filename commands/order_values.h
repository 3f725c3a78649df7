#pragma once
// Values that the commands derive from what the operator typed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::size_t orderKeyWidth = 9;

// Orders are stored right-aligned in 9 characters: the typed number, trimmed,
// with blanks in front. A longer text keeps its length (and matches nothing).
std::string orderKey(std::string_view typedOrder);

// The order number as tickets print it: the first 9 characters of the
// stored ID_SO, trimmed.
std::string printedOrderNumber(std::string_view storedOrder);

// The typed text, trimmed, with zeros in front for each character that the
// typed text (blanks counted) falls short of width. A text that is already
// as long or longer gets no zeros.
std::string zeroFilled(std::string_view typed, std::size_t width);

// The trimmed text as a whole number, or nothing when it is not one (the
// suffix and operation numbers compare as numbers).
std::optional<std::int64_t> wholeNumber(std::string_view typed);

// A quantity that may be printed: the trimmed text as typed, and the number
// of copies (rounded, a half to the even neighbour). Empty text, text that is
// not entirely a number, a value of 0 and a value that does not round into
// -32768..32767 are refused.
struct Quantity {
    std::string text;
    std::int16_t copies;
};
std::optional<Quantity> parseQuantity(std::string_view typed);
