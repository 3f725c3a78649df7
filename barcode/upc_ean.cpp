#include <array>
#include <cstdint>

#include "barcode/encoders.h"

namespace travcard::barcode {
namespace {

// UPC/EAN left-hand digits, number set A (odd parity), GS1 / ISO/IEC 15420:
// published widths space, bar, space, bar in modules. Each row is written
// shifted by one module: the element before it already drew the first
// module of the leading space, and the row ends with the one-module space
// that opens the next digit. A leading space wider than one module is
// continued after a zero-width bar "0".
constexpr std::array<std::string_view, 10> kLeftRows = {
    // row         published s b s b
    "022111",  // 0   3 2 1 1
    "012211",  // 1   2 2 2 1
    "011221",  // 2   2 1 2 2
    "4111",    // 3   1 4 1 1
    "1321",    // 4   1 1 3 2
    "2311",    // 5   1 2 3 1
    "1141",    // 6   1 1 1 4
    "3121",    // 7   1 3 1 2
    "2131",    // 8   1 2 1 3
    "021121",  // 9   3 1 1 2
};

// UPC/EAN right-hand digits, number set C, GS1 / ISO/IEC 15420: widths bar,
// space, bar, space in modules.
constexpr std::array<std::string_view, 10> kRightRows = {
    // b s b s
    "3211",  // 0
    "2221",  // 1
    "2122",  // 2
    "1411",  // 3
    "1132",  // 4
    "1231",  // 5
    "1114",  // 6
    "1312",  // 7
    "1213",  // 8
    "3112",  // 9
};

// Bar, space, bar and the space that opens the first digit.
constexpr std::string_view kStartGuard = "1111";
// Space (carried in from the last left digit), bar, space, bar, space.
constexpr std::string_view kCentreGuard = ">1111<";
// Bar, space, bar and a closing one-module space.
constexpr std::string_view kEndGuard = "1111";

constexpr char kFullHeightOpens = '>';
constexpr char kFullHeightCloses = '<';

}  // namespace

std::string Mod10Check(std::string_view digits) {
    std::uint64_t oddFromRight = 0;
    std::uint64_t evenFromRight = 0;
    for (std::size_t fromRight = 0; fromRight < digits.size(); ++fromRight) {
        const int value = digitValue(digits[digits.size() - 1 - fromRight]);
        (fromRight % 2 == 0 ? oddFromRight : evenFromRight) += value;
    }
    const std::uint64_t total = 3 * oddFromRight + evenFromRight;
    return std::string(1, static_cast<char>('0' + (10 - total % 10) % 10));
}

std::string UPCPattern(std::string_view digits) {
    const std::size_t leftCount = digits.size() / 2;

    std::string pattern(kStartGuard);
    pattern.reserve(kStartGuard.size() + kCentreGuard.size() + kEndGuard.size() + 6 * digits.size() + 2);
    for (std::size_t i = 0; i < leftCount; ++i) {
        pattern += kLeftRows[digitValue(digits[i])];
        if (i == 0)
            pattern += kFullHeightCloses;
    }
    pattern += kCentreGuard;
    for (std::size_t i = leftCount; i < digits.size(); ++i) {
        if (i == digits.size() - 1)
            pattern += kFullHeightOpens;
        pattern += kRightRows[digitValue(digits[i])];
    }
    pattern += kEndGuard;
    return pattern;
}

}  // namespace travcard::barcode
