#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "barcode/encoders.h"
#include "row_helpers.h"

namespace travcard::barcode {
namespace {

using travcard::testing::Decoded;
using travcard::testing::printAndScan;
using Values = std::vector<std::uint8_t>;

TEST(Code128Values, ChoosesCodeSetCForSixDigitsOrMore) {
    const struct {
        std::string text;
        Values values;
    } cases[] = {
        {"ABC", {104, 33, 34, 35, 1, 106}},
        {"123456", {105, 12, 34, 56, 44, 106}},
        {"12345", {104, 17, 18, 19, 20, 21, 90, 106}},
        {"1234567", {105, 12, 34, 56, 100, 23, 44, 106}},
        {"A123456B", {104, 33, 99, 12, 34, 56, 100, 34, 80, 106}},
        {"A123456", {104, 33, 99, 12, 34, 56, 66, 106}},
        {"a\tb", {104, 65, 66, 95, 106}},
        {"\x7F\xC3\xA9~", {104, 94, 95, 106}},
        {"", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Code128Values(c.text), c.values) << '"' << c.text << '"';
}

TEST(Code128Values, CheckCharacterOfLongTextsDoesNotOverflow) {
    // 999 "~" (value 94): 104 + 94 * (1 + ... + 999) = 46953104, mod 103 = 39;
    // the products pass 65535 from position 698 on.
    const Values values = Code128Values(std::string(999, '~'));
    ASSERT_EQ(values.size(), 1002u);
    EXPECT_EQ(values[1000], 39);
}

TEST(Code128Pattern, ConcatenatesTheRowsOfTheValues) {
    const Values abc{104, 33, 34, 35, 1, 106};
    EXPECT_EQ(Code128Pattern(abc), "BAABAD" "AAACBC" "ACAABC" "ACACBA" "BBBABB" "BCCAAAB");
    EXPECT_EQ(Code128Pattern(Values{}), "");
    EXPECT_THROW(Code128Pattern(Values{107}), std::out_of_range);
}

TEST(Code128Row, EmptyCodeGivesAnEmptyRow) {
    RvBarCode barcode;
    barcode.setSymbology(RvBarCode::kCode128);
    barcode.setCode("");
    EXPECT_EQ(barcode.Epson(), std::string("\x1BL\0\0", 4));
}

TEST(Code128Row, NineteenCharactersGetTheirMod10DigitAsTheTwentieth) {
    RvBarCode barcode;
    barcode.setSymbology(RvBarCode::kCode128);
    barcode.setCode("1234567890123456789");
    const std::string row = barcode.Epson();
    EXPECT_EQ(barcode.CheckDigit(), Mod10Check("1234567890123456789"));
    // Start C, ten pairs, check character: 22 columns each; stop 26.
    EXPECT_EQ(row.size(), 4u + 12 * 22 + 26);
    // A 19-character value that is mostly not digits needs more values than
    // its length plus three once the check digit is added.
    barcode.setCode("ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(barcode.Epson().size(), 4u + 22 * 22 + 26);
}

// Values that switch between code sets B and C at every kind of place.
std::vector<std::string> code128Values() {
    std::vector<std::string> values{"ABC", "123456", "12345", "1234567", "A123456B", "SO012345-000-0010/ST",
                                    " !\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~", "abcdefghijklmnopqrstuvwxyz"};
    std::mt19937 random(128);
    std::uniform_int_distribution<std::size_t> pieces(1, 4);
    std::uniform_int_distribution<std::size_t> length(1, 12);
    std::uniform_int_distribution<int> digit('0', '9');
    std::uniform_int_distribution<int> printable(' ', '~');
    while (values.size() < 300) {
        std::string value;
        bool digits = random() % 2 == 0;
        for (std::size_t piece = pieces(random); piece > 0; --piece, digits = !digits) {
            for (std::size_t n = length(random); n > 0; --n)
                value += static_cast<char>(digits ? digit(random) : printable(random));
        }
        if (value.size() != 19)
            values.push_back(value);
    }
    return values;
}

TEST(Code128Row, ReadsBackAsTheTextThatWentIn) {
    for (const std::string& value : code128Values())
        EXPECT_THAT(printAndScan(RvBarCode::kCode128, value), ::testing::ElementsAre(Decoded{"CODE-128", value}))
            << '"' << value << '"';
}

TEST(Code128Row, NineteenCharactersReadBackWithTheirCheckDigit) {
    std::mt19937 random(19);
    std::uniform_int_distribution<int> digit('0', '9');
    std::uniform_int_distribution<int> letter('A', 'Z');
    for (int i = 0; i < 100; ++i) {
        std::string value(19, ' ');
        for (std::size_t n = 0; n < value.size(); ++n)
            value[n] = static_cast<char>(n % 7 < 6 || i % 2 ? digit(random) : letter(random));
        EXPECT_THAT(printAndScan(RvBarCode::kCode128, value),
                    ::testing::ElementsAre(Decoded{"CODE-128", value + Mod10Check(value)}))
            << value;
    }
}

}  // namespace
}  // namespace travcard::barcode
