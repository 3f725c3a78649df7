#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>

#include "barcode/encoders.h"
#include "row_helpers.h"

namespace travcard::barcode {
namespace {

using travcard::testing::columnsAsText;
using travcard::testing::Decoded;
using travcard::testing::printAndScan;

TEST(Mod10Check, GivesTheDigitThatRaisesTheWeightedSumToATen) {
    const struct {
        std::string digits;
        std::string check;
    } cases[] = {
        {"123", "6"},
        {"4", "8"},
        {"", "0"},
        {"03600029145", "2"},  // UPC-A 036000291452
        {"9638507", "4"},      // EAN-8 96385074
        {"1A3", "8"},          // as 103
        {"1 3\xC3\xA9", "8"},  // as 10300
        {std::string(30001, '9'), "3"},  // 3 x 135009 + 135000 = 540027
    };
    for (const auto& c : cases)
        EXPECT_EQ(Mod10Check(c.digits), c.check) << c.digits.substr(0, 20);
}

TEST(UPCPattern, MarksGuardsAndOutermostDigitsFullHeight) {
    EXPECT_EQ(UPCPattern("00000000"),
              "1111" "022111" "<" "022111" "022111" "022111"
              ">1111<" "3211" "3211" "3211" ">" "3211" "1111");
}

TEST(UPCPattern, CountsEveryOtherCharacterAsZero) {
    EXPECT_EQ(UPCPattern("A2345-78"), UPCPattern("02345078"));
}

// The published module pattern of a UPC-A or EAN-8 number, built from the
// seven-module number set A codes (number set C is their complement), with
// "1" for a dark module: guard 101, left digits, centre 01010, right
// digits, guard 101, then the one blank module that closes the row.
std::string publishedModules(const std::string& digits) {
    static constexpr std::array<const char*, 10> kSetA = {"0001101", "0011001", "0010011", "0111101", "0100011",
                                                          "0110001", "0101111", "0111011", "0110111", "0001011"};
    std::string modules = "101";
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i == digits.size() / 2)
            modules += "01010";
        std::string code = kSetA[digits[i] - '0'];
        if (i >= digits.size() / 2)
            for (char& module : code)
                module = module == '1' ? '0' : '1';
        modules += code;
    }
    return modules + "101" + "0";
}

// Two printer columns per module, as columnsAsText shows them.
std::string columnsOf(const std::string& modules) {
    std::string columns;
    for (char module : modules)
        columns += module == '1' ? "BB" : "ss";
    return columns;
}

TEST(UPCRow, IsThePublishedSymbolModuleForModule) {
    for (const std::string code : {"01234567890", "98765432109", "55555555555", "03600029145", "9638507", "1234567"}) {
        RvBarCode barcode;
        barcode.setSymbology(RvBarCode::kUpcEan);
        barcode.setCode(code);
        const std::string columns = columnsAsText(barcode.Epson());

        EXPECT_EQ(columns.size(), code.size() == 11 ? 192u : 136u) << code;
        EXPECT_EQ(columns, columnsOf(publishedModules(code + barcode.CheckDigit()))) << code;
    }
}

TEST(UPCRow, ReadsBackWithItsCheckDigit) {
    std::mt19937 random(15420);
    std::uniform_int_distribution<int> digit('0', '9');
    for (int i = 0; i < 300; ++i) {
        const bool upcA = i % 2 == 0;
        std::string code(upcA ? 11 : 7, '0');
        for (char& c : code)
            c = static_cast<char>(digit(random));
        EXPECT_THAT(printAndScan(RvBarCode::kUpcEan, code),
                    ::testing::ElementsAre(Decoded{upcA ? "UPC-A" : "EAN-8", code + Mod10Check(code)}))
            << code;
    }
}

}  // namespace
}  // namespace travcard::barcode
