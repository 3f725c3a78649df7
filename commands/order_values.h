#pragma once
// What the operator typed, parsed once at the door of a command: below the
// request values built here, nothing reads the text of a box.

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

// The order a command is for: the order, location and suffix boxes.
struct OrderSelection {
    std::size_t typedLength = 0;  // characters of the order as typed, blanks counted
    std::string key;              // ID_SO as stored: see orderKey
    std::string location;         // ID_LOC: the location, trimmed
    std::string suffix;           // SUFX_SO: the suffix, trimmed
    std::optional<std::int64_t> suffixNumber;  // nothing when no whole number: no order has it
    std::string orderCode;        // for the barcodes: the order zero-filled to 6
    std::string suffixCode;       // the suffix zero-filled to 3
};
OrderSelection selectOrder(std::string_view order, std::string_view location, std::string_view suffix);

// The operation box: "All", or one operation.
struct OperationChoice {
    bool all = false;
    std::string text;                     // the operation, trimmed
    std::optional<std::int64_t> number;   // nothing when no whole number: no operation has it
};
// boxText is the box's text, compared with "All"; operation is the entry
// that it selects or the text typed.
OperationChoice chooseOperation(std::string_view boxText, std::string_view operation);

// The order barcode as a ticket prints it: the zero-filled order, a dash
// and the zero-filled suffix (012345-000), as a scanner types it. The order
// and suffix as an operator types them (12345 and 0); nothing for any other
// text.
struct ScannedOrder {
    std::string order;
    std::string suffix;
};
std::optional<ScannedOrder> scannedOrder(std::string_view text);
