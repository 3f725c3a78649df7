#include "support/bit_image_decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace travcard::testing {
namespace {

using namespace std::string_literals;

std::string escL(const std::string& columns) {
    return "\x1BL"s + char(columns.size() % 256) + char(columns.size() / 256) + columns;
}

TEST(BitImageDecoder, RejectsWhatIsNotOneEscLRow) {
    const struct {
        const char* why;
        std::string bytes;
    } cases[] = {
        {"too short for the header", "\x1BL\x01"s},
        {"not ESC L", "\x1BK\x01\x00\xFF"s},
        {"fewer columns than declared", "\x1BL\x03\x00\xFF\xFF"s},
        {"more columns than declared", "\x1BL\x01\x00\xFF\xFF"s},
        {"a column that is neither bar nor space", escL("\xFF\x0F\xFF")},
    };
    for (const auto& c : cases)
        EXPECT_THROW(decodeBitImageRow(c.bytes), std::invalid_argument) << c.why;
}

TEST(BitImageDecoder, FindsNothingInRowsWithoutABarcode) {
    EXPECT_THAT(decodeBitImageRow("\x1BL\0\0"s), ::testing::IsEmpty());
    EXPECT_THAT(decodeBitImageRow(escL(std::string(300, '\xFF'))), ::testing::IsEmpty());
}

// Code 39 "1" between its start/stop characters, built by hand from the
// published table: narrow bar 2 columns, narrow space 3, wide 6.
TEST(BitImageDecoder, ReadsAHandDrawnCode39Row) {
    std::string columns;
    bool bar = true;
    for (char width : "NWNNWNWNN" "W" "WNNWNNNNW" "W" "NWNNWNWNN"s) {
        const int count = width == 'W' ? 6 : bar ? 2 : 3;
        columns.append(count, bar ? '\xFF' : '\x00');
        bar = !bar;
    }
    EXPECT_THAT(decodeBitImageRow(escL(columns)), ::testing::ElementsAre(Decoded{"CODE-39", "1"}));
}

}  // namespace
}  // namespace travcard::testing
