#include "barcode/rv_barcode.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "row_helpers.h"

namespace {

using namespace std::string_literals;
using travcard::testing::Decoded;
using travcard::testing::decodeBitImageRow;

TEST(RvBarCode, StartsWithItsInitialValues) {
    const RvBarCode barcode;
    EXPECT_EQ(barcode.Symbology(), 0);
    EXPECT_EQ(barcode.Code(), "0");
    EXPECT_EQ(barcode.CheckDigit(), "0");
}

TEST(RvBarCode, NewObjectPrintsCode39OfZero) {
    RvBarCode barcode;
    const std::string row = barcode.Epson();
    ASSERT_EQ(row.size(), 4u + 117);
    // Header with 117 columns, then the narrow first bar and wide first space of "*".
    EXPECT_EQ(row.substr(0, 12), "\x1BL\x75\x00" "\xFF\xFF" "\x00\x00\x00\x00\x00\x00"s);
    EXPECT_THAT(decodeBitImageRow(row), ::testing::ElementsAre(Decoded{"CODE-39", "0"}));
}

TEST(RvBarCode, UnknownSymbologyPrintsAnEmptyRow) {
    for (std::int16_t symbology : {4, 5, -1, 32767}) {
        RvBarCode barcode;
        barcode.setSymbology(symbology);
        barcode.setCode("12345");
        EXPECT_EQ(barcode.Epson(), "\x1BL\x00\x00"s) << symbology;
    }
}

TEST(RvBarCode, OnlyUpcEanAndNineteenCharacterCode128SetTheCheckDigit) {
    const struct {
        std::int16_t symbology;
        std::string code;
        std::string checkDigit;
    } cases[] = {
        {RvBarCode::kUpcEan, "123", "6"},
        {RvBarCode::kCode128, "1234567890123456789", "0"},
        {RvBarCode::kCode128, "123456789012345678", "kept"},
        {RvBarCode::kCode128, "12345678901234567890", "kept"},
        {RvBarCode::kCode39, "123", "kept"},
        {RvBarCode::kInterleaved2of5, "123", "kept"},
        {9, "123", "kept"},
    };
    for (const auto& c : cases) {
        RvBarCode barcode;
        barcode.setCheckDigit("kept");
        barcode.setSymbology(c.symbology);
        barcode.setCode(c.code);
        barcode.Epson();
        EXPECT_EQ(barcode.CheckDigit(), c.checkDigit) << c.symbology << " " << c.code;
    }
}

// The EPSON ticket prints both of its barcodes with one object.
TEST(RvBarCode, PrintsTheTicketsTwoBarcodesFromOneObject) {
    RvBarCode barcode;
    barcode.setSymbology(2);
    barcode.setCode("012345");
    const std::string order = barcode.Epson();
    barcode.setSymbology(0);
    barcode.setCode("0010");
    const std::string operation = barcode.Epson();

    EXPECT_EQ(order.size(), 4u + 141);
    EXPECT_EQ(operation.size(), 4u + 234);
    EXPECT_THAT(decodeBitImageRow(order), ::testing::ElementsAre(Decoded{"I2/5", "012345"}));
    EXPECT_THAT(decodeBitImageRow(operation), ::testing::ElementsAre(Decoded{"CODE-39", "0010"}));
}

TEST(RvBarCode, RefusesARowTooWideForTheCommandAndKeepsItsCheckDigit) {
    RvBarCode barcode;
    barcode.setCode(std::string(1679, '1'));  // 78 + 1679 x 39 = 65559 columns
    EXPECT_THROW(barcode.Epson(), std::length_error);
    barcode.setCode(std::string(1678, '1'));  // 65520 columns
    EXPECT_EQ(barcode.Epson().size(), 4u + 65520);

    barcode.setSymbology(RvBarCode::kUpcEan);
    barcode.setCheckDigit("kept");
    barcode.setCode(std::string(5000, '7'));
    EXPECT_THROW(barcode.Epson(), std::length_error);
    EXPECT_EQ(barcode.CheckDigit(), "kept");
}

}  // namespace
