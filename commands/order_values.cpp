#include "commands/order_values.h"

#include "text/text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal syntax only: sign, digits with an optional fraction, an optional
// exponent. No hexadecimal, infinity or NaN.
bool isDecimalNumber(std::string_view text)
{
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    std::size_t digits = 0;
    while (i < text.size() && isDigit(text[i])) { ++i; ++digits; }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && isDigit(text[i])) { ++i; ++digits; }
    }
    if (digits == 0)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        std::size_t exponentDigits = 0;
        while (i < text.size() && isDigit(text[i])) { ++i; ++exponentDigits; }
        if (exponentDigits == 0)
            return false;
    }
    return i == text.size();
}

std::string_view withoutPlus(std::string_view text)
{
    return !text.empty() && text.front() == '+' ? text.substr(1) : text;
}

}  // namespace

std::string orderKey(std::string_view typedOrder)
{
    const std::string_view trimmed = text::trimSpaces(typedOrder);
    const std::size_t length = text::characterCount(trimmed);
    const std::size_t blanks = length < orderKeyWidth ? orderKeyWidth - length : 0;
    return std::string(blanks, ' ') + std::string(trimmed);
}

std::string printedOrderNumber(std::string_view storedOrder)
{
    return std::string(text::trimSpaces(storedOrder.substr(0, orderKeyWidth)));
}

std::string zeroFilled(std::string_view typed, std::size_t width)
{
    const std::size_t length = text::characterCount(typed);
    const std::size_t zeros = length < width ? width - length : 0;
    return std::string(zeros, '0') + std::string(text::trimSpaces(typed));
}

std::optional<std::int64_t> wholeNumber(std::string_view typed) { return text::wholeNumber(typed); }

std::optional<Quantity> parseQuantity(std::string_view typed)
{
    const std::string_view trimmed = text::trimSpaces(typed);
    if (!isDecimalNumber(trimmed))
        return std::nullopt;
    const std::string_view number = withoutPlus(trimmed);
    double value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size() || value == 0)
        return std::nullopt;
    const double rounded = std::nearbyint(value);  // the default mode rounds a half to even
    if (rounded < std::numeric_limits<std::int16_t>::min() ||
        rounded > std::numeric_limits<std::int16_t>::max())
        return std::nullopt;
    return Quantity{std::string(trimmed), static_cast<std::int16_t>(rounded)};
}

OrderSelection selectOrder(std::string_view order, std::string_view location, std::string_view suffix)
{
    OrderSelection selection;
    selection.typedLength = text::characterCount(order);
    selection.key = orderKey(order);
    selection.location = std::string(text::trimSpaces(location));
    selection.suffix = std::string(text::trimSpaces(suffix));
    selection.suffixNumber = wholeNumber(suffix);
    selection.orderCode = zeroFilled(order, 6);
    selection.suffixCode = zeroFilled(suffix, 3);
    return selection;
}

OperationChoice chooseOperation(std::string_view boxText, std::string_view operation)
{
    return {boxText == "All", std::string(text::trimSpaces(operation)), wholeNumber(operation)};
}

namespace {

// Digits without their leading zeros; "0" for zeros only.
std::optional<std::string> unfilledDigits(std::string_view digits)
{
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const std::size_t first = digits.find_first_not_of('0');
    return first == std::string_view::npos ? "0" : std::string(digits.substr(first));
}

}  // namespace

std::optional<ScannedOrder> scannedOrder(std::string_view text)
{
    const std::string_view code = text::trimSpaces(text);
    const std::size_t dash = code.find('-');
    if (dash == std::string_view::npos)
        return std::nullopt;
    const std::optional<std::string> order = unfilledDigits(code.substr(0, dash));
    const std::optional<std::string> suffix = unfilledDigits(code.substr(dash + 1));
    if (!order || !suffix)
        return std::nullopt;
    return ScannedOrder{*order, *suffix};
}
