#include <algorithm>
#include <array>

#include "barcode/encoders.h"

namespace travcard::barcode {
namespace {

constexpr std::size_t kElementsPerDigit = 5;

// Interleaved 2 of 5 digit widths, ISO/IEC 16390. N narrow, W wide; the five
// elements are the bars of the first digit of a pair or the spaces of the
// second.
constexpr std::array<std::string_view, 10> kDigitRows = {
    "NNWWN",  // 0
    "WNNNW",  // 1
    "NWNNW",  // 2
    "WWNNN",  // 3
    "NNWNW",  // 4
    "WNWNN",  // 5
    "NWWNN",  // 6
    "NNNWW",  // 7
    "WNNWN",  // 8
    "NWNWN",  // 9
};
static_assert(std::ranges::all_of(kDigitRows, [](std::string_view row) { return row.size() == kElementsPerDigit; }));

constexpr std::string_view kStart = "NNNN";
constexpr std::string_view kStop = "WNNN";

}  // namespace

std::string I2of5Pattern(std::string_view digits) {
    if (digits.size() % 2 != 0) {
        std::string padded = "0";
        padded += digits;
        return I2of5Pattern(padded);
    }

    std::string pattern(kStart);
    pattern.reserve(kStart.size() + kElementsPerDigit * digits.size() + kStop.size());
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const std::string_view bars = kDigitRows[digitValue(digits[i])];
        const std::string_view spaces = kDigitRows[digitValue(digits[i + 1])];
        char pair[2 * kElementsPerDigit];
        for (std::size_t element = 0; element < kElementsPerDigit; ++element) {
            pair[2 * element] = bars[element];
            pair[2 * element + 1] = spaces[element];
        }
        pattern.append(pair, sizeof pair);
    }
    pattern += kStop;
    return pattern;
}

}  // namespace travcard::barcode
