#include "barcode/bit_image.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "row_helpers.h"

namespace travcard::barcode {
namespace {

using namespace std::string_literals;
using travcard::testing::columnsAsText;

TEST(BitImageRow, GivesEachSymbolItsColumns) {
    const struct {
        std::string pattern;
        std::string columns;
    } cases[] = {
        {"", ""},
        {"N", "BB"},
        {"NN", "BBsss"},
        {"WW", "BBBBBBssssss"},
        {"NWNW", "BBssssssBBssssss"},
        {"AB", "BBssss"},
        {"CD", "BBBBBBssssssss"},
        {"12", "BBssss"},
        {"34", "BBBBBBssssssss"},
        // "0" is an element without columns: the colour still changes.
        {"01", "ss"},
        {"101", "BBBB"},
        // The height markers are not elements.
        {">1<1", "BBss"},
        {"1>1<1", "BBssBB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(columnsAsText(bitImageRow(c.pattern)), c.columns) << "pattern \"" << c.pattern << '"';
}

TEST(BitImageRow, HeaderCountsTheColumnsLowByteFirst) {
    const struct {
        std::string pattern;
        std::string header;
    } cases[] = {
        {"", "\x1BL\x00\x00"s},
        {"A", "\x1BL\x02\x00"s},
        {std::string(150, 'A'), "\x1BL\x2C\x01"s},  // 300 columns
        {std::string(128, 'A'), "\x1BL\x00\x01"s},  // 256 columns
    };
    for (const auto& c : cases) {
        const std::string row = bitImageRow(c.pattern);
        EXPECT_EQ(row.substr(0, 4), c.header) << c.pattern.size() << " symbols";
        EXPECT_EQ(row.size(), 4 + std::size_t(uint8_t(row[2])) + 256 * std::size_t(uint8_t(row[3])));
    }
}

TEST(BitImageRow, RefusesARowWiderThanEscLCanCount) {
    // 8190 elements of 8 columns, then a wide bar, a narrow space and a wide
    // bar make 65535 columns; one more module is too many.
    const std::string widest = std::string(8190, 'D') + "WNW";
    const std::string row = bitImageRow(widest);
    EXPECT_EQ(row.size(), 4u + kMaxBitImageColumns);
    EXPECT_EQ(row.substr(0, 4), "\x1BL\xFF\xFF"s);

    try {
        bitImageRow(widest + "A");
        FAIL() << "a row of 65537 columns was accepted";
    } catch (const std::length_error& refused) {
        EXPECT_STREQ(refused.what(),
                     "barcode row of 65537 columns is wider than the 65535 columns an ESC L bit image can hold");
    }
}

}  // namespace
}  // namespace travcard::barcode
