#include "commands/order_values.h"

#include <gtest/gtest.h>

namespace {

TEST(OrderKey, IsTheTrimmedOrderRightAlignedInNineCharacters)
{
    EXPECT_EQ(orderKey("12345"), "    12345");
    EXPECT_EQ(orderKey(" 1234 "), "     1234");
    EXPECT_EQ(orderKey(""), "         ");
    EXPECT_EQ(orderKey("123456789"), "123456789");
    EXPECT_EQ(orderKey(" 1234567890 "), "1234567890");
    EXPECT_EQ(orderKey("\t12"), "      \t12") << "only spaces are trimmed";
}

TEST(ZeroFilled, CountsTheTypedLengthAndNeverGoesNegative)
{
    EXPECT_EQ(zeroFilled("12345", 6), "012345");
    EXPECT_EQ(zeroFilled("1", 3), "001");
    EXPECT_EQ(zeroFilled(" 12345", 6), "12345") << "the blank counts towards the width";
    EXPECT_EQ(zeroFilled("123456", 6), "123456");
    EXPECT_EQ(zeroFilled("1234567", 6), "1234567");
    EXPECT_EQ(zeroFilled("123456789", 6), "123456789");
    EXPECT_EQ(zeroFilled("", 4), "0000");
}

TEST(WholeNumber, AcceptsOnlyTrimmedIntegers)
{
    EXPECT_EQ(wholeNumber(" 0 "), 0);
    EXPECT_EQ(wholeNumber("20"), 20);
    EXPECT_EQ(wholeNumber("-1"), -1);
    EXPECT_EQ(wholeNumber("+7"), 7);
    for (const char* text : {"", " ", "All", "1.0", "1e2", "0x1", "++1", "1 2", "99999999999999999999"})
        EXPECT_FALSE(wholeNumber(text)) << text;
}

struct QuantityCase {
    const char* typed;
    std::optional<std::int16_t> copies;
};

void PrintTo(const QuantityCase& c, std::ostream* out) { *out << '"' << c.typed << '"'; }

class Quantities : public ::testing::TestWithParam<QuantityCase> {};

TEST_P(Quantities, AreRefusedOrRoundedHalfToEven)
{
    const std::optional<Quantity> quantity = parseQuantity(GetParam().typed);
    ASSERT_EQ(quantity.has_value(), GetParam().copies.has_value());
    if (quantity) {
        EXPECT_EQ(quantity->copies, *GetParam().copies);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Quantities,
    ::testing::Values(QuantityCase{"1", 1}, QuantityCase{" 3 ", 3}, QuantityCase{"2.5", 2},
                      QuantityCase{"3.5", 4}, QuantityCase{"0.4", 0}, QuantityCase{"-2", -2},
                      QuantityCase{"+2", 2}, QuantityCase{".5", 0}, QuantityCase{"1e2", 100},
                      QuantityCase{"32767", 32767}, QuantityCase{"32767.4", 32767},
                      QuantityCase{"-32768", -32768}, QuantityCase{"", std::nullopt},
                      QuantityCase{"   ", std::nullopt}, QuantityCase{"0", std::nullopt},
                      QuantityCase{"0.0", std::nullopt}, QuantityCase{"-0", std::nullopt},
                      QuantityCase{"abc", std::nullopt}, QuantityCase{"12abc", std::nullopt},
                      QuantityCase{"1,5", std::nullopt}, QuantityCase{"40000", std::nullopt},
                      QuantityCase{"32767.5", std::nullopt}, QuantityCase{"1e999", std::nullopt},
                      QuantityCase{"inf", std::nullopt}, QuantityCase{"nan", std::nullopt},
                      QuantityCase{"0x10", std::nullopt}, QuantityCase{"1e", std::nullopt},
                      QuantityCase{".", std::nullopt}, QuantityCase{"\t1", std::nullopt}));

TEST(Quantity, KeepsTheTrimmedTextForTheLabel)
{
    EXPECT_EQ(parseQuantity(" 2.50 ")->text, "2.50");
}

}  // namespace

TEST(ScannedOrder, IsTheTicketsOrderBarcodeWithoutItsZeroFill)
{
    const auto scanned = [](std::string_view text) {
        const std::optional<ScannedOrder> order = scannedOrder(text);
        return order ? order->order + "/" + order->suffix : std::string("none");
    };
    EXPECT_EQ(scanned("012345-000"), "12345/0");
    EXPECT_EQ(scanned(" 1234567-001 "), "1234567/1");
    EXPECT_EQ(scanned("000000-000"), "0/0");
    for (const std::string_view text : {"12345", "12345-", "-000", "12-3-4", "1 2-0", "+12-0", "A12-0"})
        EXPECT_EQ(scanned(text), "none") << text;
}
