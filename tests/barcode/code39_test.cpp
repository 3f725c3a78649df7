#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "barcode/encoders.h"
#include "row_helpers.h"

namespace travcard::barcode {
namespace {

using travcard::testing::Decoded;
using travcard::testing::printAndScan;

constexpr std::string_view kDataCharacters = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-. $/+%";

TEST(Code39Pattern, EncodesEveryCharacterWithItsGap) {
    EXPECT_EQ(Code39Pattern("*0*"), "NWNNWNWNN" "W" "NNNWWNWNN" "W" "NWNNWNWNN" "W");
    EXPECT_EQ(Code39Pattern("**0"), "NWNNWNWNN" "W" "NWNNWNWNN" "W" "NNNWWNWNN" "W");
    EXPECT_EQ(Code39Pattern(""), "");
}

TEST(Code39Pattern, FoldsLowerCase) {
    EXPECT_EQ(Code39Pattern("*abcxyz*"), Code39Pattern("*ABCXYZ*"));
}

TEST(Code39Pattern, LeavesOutCharactersItCannotEncodeWithTheirGaps) {
    EXPECT_EQ(Code39Pattern("*1\t2#_\x7F\xC3\xA9" "3*"), Code39Pattern("*123*"));
    EXPECT_EQ(Code39Pattern("?!"), "");
}

TEST(Code39Row, WidthsFollowTheWideElementsOfEachCharacter) {
    const struct {
        std::string code;
        std::size_t columns;
    } cases[] = {
        {"", 78},      // start and stop only
        {"0", 117},    // a digit: two wide bars and a wide space, 39 columns
        {"$", 115},    // three wide spaces: 37 columns
        {"%/+$", 226},
        {"0010", 234},  // the ticket's operation number
    };
    for (const auto& c : cases) {
        RvBarCode barcode;
        barcode.setCode(c.code);
        EXPECT_EQ(barcode.Epson().size(), 4 + c.columns) << '"' << c.code << '"';
    }
}

TEST(Code39Row, ReadsBackAsTheValueThatWentIn) {
    std::vector<std::string> values{std::string(kDataCharacters), "0010", "1", "a-b.c"};
    std::mt19937 random(39);
    std::uniform_int_distribution<std::size_t> length(1, 16);
    std::uniform_int_distribution<std::size_t> character(0, kDataCharacters.size() - 1);
    while (values.size() < 300) {
        std::string value(length(random), ' ');
        for (char& c : value)
            c = kDataCharacters[character(random)];
        values.push_back(value);
    }

    for (const std::string& value : values) {
        std::string upper = value;
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_THAT(printAndScan(RvBarCode::kCode39, value), ::testing::ElementsAre(Decoded{"CODE-39", upper}))
            << '"' << value << '"';
    }
}

}  // namespace
}  // namespace travcard::barcode
