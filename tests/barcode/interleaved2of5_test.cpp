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

TEST(I2of5Pattern, InterleavesBarsOfTheFirstDigitWithSpacesOfTheSecond) {
    EXPECT_EQ(I2of5Pattern("12"), "NNNN" "WNNWNNNNWW" "WNNN");
    EXPECT_EQ(I2of5Pattern(""), "NNNNWNNN");
}

TEST(I2of5Pattern, CountsEveryOtherCharacterAsZero) {
    EXPECT_EQ(I2of5Pattern("A0-0"), I2of5Pattern("0000"));
    EXPECT_EQ(I2of5Pattern("\xC3\xA9"), I2of5Pattern("00"));
}

TEST(I2of5Pattern, CompletesAnOddCountWithALeadingZero) {
    EXPECT_EQ(I2of5Pattern("7"), I2of5Pattern("07"));
    EXPECT_EQ(I2of5Pattern("12345"), I2of5Pattern("012345"));
}

TEST(I2of5Row, ShopOrderNumberIs141ColumnsWide) {
    RvBarCode barcode;
    barcode.setSymbology(RvBarCode::kInterleaved2of5);
    barcode.setCode("012345");
    EXPECT_EQ(barcode.Epson().size(), 4u + 141);
    barcode.setCode("");
    EXPECT_EQ(barcode.Epson().size(), 4u + 24);
}

TEST(I2of5Row, ReadsBackAsTheDigitsThatWentIn) {
    std::vector<std::string> values{"012345", "99", "0", "1234567890"};
    std::mt19937 random(25);
    std::uniform_int_distribution<std::size_t> length(1, 20);
    std::uniform_int_distribution<int> digit(0, 9);
    while (values.size() < 300) {
        std::string value(length(random), '0');
        for (char& c : value)
            c = static_cast<char>('0' + digit(random));
        values.push_back(value);
    }

    for (const std::string& value : values) {
        const std::string printed = value.size() % 2 ? "0" + value : value;
        EXPECT_THAT(printAndScan(RvBarCode::kInterleaved2of5, value), ::testing::ElementsAre(Decoded{"I2/5", printed}))
            << value;
    }
}

}  // namespace
}  // namespace travcard::barcode
