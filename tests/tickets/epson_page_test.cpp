#include "tickets/epson_page.h"

#include "tests/fixtures/sample_ticket.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string_view>
#include <vector>

namespace {

std::string spaces(std::size_t count) { return std::string(count, ' '); }

// An ESC L row from element widths, bar first: a narrow bar is 2 columns of
// 0xFF, a narrow space 3 columns of 0x00, a wide bar or space 6 columns.
std::string bitImageRow(std::string_view widths)
{
    std::string columns;
    bool bar = true;
    for (char width : widths) {
        const std::size_t count = width == 'W' ? 6 : bar ? 2 : 3;
        columns.append(count, bar ? '\xFF' : '\x00');
        bar = !bar;
    }
    return std::string("\x1BL") + static_cast<char>(columns.size() % 256) +
           static_cast<char>(columns.size() / 256) + columns;
}

// Interleaved 2 of 5 of 012345: the digits of each pair interleaved, the
// first giving the bars, the second the spaces.
const std::string orderRow012345 = bitImageRow(
    "NNNN"          // start
    "NWNNWNWNNW"    // 0 NNWWN with 1 WNNNW
    "NWWWNNNNWN"    // 2 NWNNW with 3 WWNNN
    "NWNNWWNNWN"    // 4 NNWNW with 5 WNWNN
    "WNNN");        // stop

// Code 39 of *0020*, every character followed by a wide gap.
const std::string operationRow0020 = bitImageRow(
    "NWNNWNWNN" "W"   // *
    "NNNWWNWNN" "W"   // 0
    "NNNWWNWNN" "W"   // 0
    "NNWWNNNNW" "W"   // 2
    "NNNWWNWNN" "W"   // 0
    "NWNNWNWNN" "W"); // *

// The page of sampleTicket() with the given number of bar rows.
std::string expectedWidgetPage(int barRows)
{
    std::string page = crlfLines({
        "",
        "       ************* MOVE & IDENT CARD *************",
        "",
        "       ORDER NO: ST/12345/0" + spaces(9) + "PART NO: WIDGET-100" + spaces(15) + "QUANTITY: 25.0",
        "",
        "  OPERATION NO: 20  DEPT: MACHMILL" + spaces(16) + "CUSTOMER: ACME      ",
        "",
        "  NEXT OPER: 30   DEPT: OUTS VEND   QTY: ______     EMPL NO: ______",
        "",
        "",
        "       MILL SLOT 12 MM               ",
        spaces(50) + "ACCEPT/REJECT",
        "",
        "SHOP ORDER" + spaces(42) + "OPERATION",
    });
    for (int row = 0; row < barRows; ++row)
        page += orderRow012345 + spaces(35) + operationRow0020 + "\r" + "\x1BJ\x04\r";
    return page + "\r\n\r\n\r\n\r\n";
}

std::size_t barRowCount(const std::string& page)
{
    std::size_t count = 0;
    for (auto at = page.find("\x1BJ\x04\r"); at != std::string::npos; at = page.find("\x1BJ\x04\r", at + 1))
        ++count;
    return count;
}

TEST(EpsonPage, IsTheTextLinesAndThirteenBarRowsAfterStartUp)
{
    ASSERT_EQ(orderRow012345.size(), 4u + 141u);
    ASSERT_EQ(operationRow0020.size(), 4u + 234u);
    RvBarCode barcode;
    bool extraLine = false;
    EXPECT_EQ(epsonPage(sampleTicket(), barcode, extraLine), expectedWidgetPage(13));
    EXPECT_TRUE(extraLine);
}

TEST(EpsonPage, PagesAlternateThirteenAndFourteenRowsAndAreRebuiltEachTime)
{
    RvBarCode barcode;
    bool extraLine = false;
    TicketData other = sampleTicket();
    other.orderCode = "999999";
    other.operCode = "0100";
    EXPECT_EQ(barRowCount(epsonPage(other, barcode, extraLine)), 13u);
    EXPECT_EQ(epsonPage(sampleTicket(), barcode, extraLine), expectedWidgetPage(14))
        << "the second page takes the longer feed and its own barcodes";
    EXPECT_FALSE(extraLine);
    EXPECT_EQ(barRowCount(epsonPage(sampleTicket(), barcode, extraLine)), 13u);
    EXPECT_TRUE(extraLine);
}

TEST(EpsonPage, SetsOnlySymbologyAndCodeOfTheBarcode)
{
    RvBarCode barcode;
    barcode.setCheckDigit("7");
    bool extraLine = false;
    const std::string page = epsonPage(sampleTicket(), barcode, extraLine);
    EXPECT_EQ(barcode.Symbology(), RvBarCode::kCode39);
    EXPECT_EQ(barcode.Code(), "0020");
    EXPECT_EQ(barcode.CheckDigit(), "7");
    EXPECT_EQ(page, expectedWidgetPage(13));
}

// One text line of a page whose ticket differs from sampleTicket().
struct LineCase {
    const char* name;
    void (*change)(TicketData&);
    std::size_t lineNumber;  // 1 to 14
    std::string expected;
};

void PrintTo(const LineCase& c, std::ostream* out) { *out << c.name; }

std::string pageLine(const std::string& page, std::size_t lineNumber)
{
    std::size_t start = 0;
    for (std::size_t line = 1; line < lineNumber; ++line)
        start = page.find("\r\n", start) + 2;
    return page.substr(start, page.find("\r\n", start) - start);
}

class EpsonPageLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(EpsonPageLine, IsWrittenAsExpected)
{
    TicketData ticket = sampleTicket();
    GetParam().change(ticket);
    RvBarCode barcode;
    bool extraLine = false;
    EXPECT_EQ(pageLine(epsonPage(ticket, barcode, extraLine), GetParam().lineNumber), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tickets, EpsonPageLine,
    ::testing::Values(
        LineCase{"LastOperationReadsDone",
                 [](TicketData& t) { t.nextOper = "DONE"; t.nextDept = "DONE"; t.nextDescr.clear(); },
                 8, "  NEXT OPER: DONE   DEPT: DONE   QTY: ______     EMPL NO: ______"},
        LineCase{"EmptyDescriptionLeavesTheIndent", [](TicketData& t) { t.operDescr.clear(); }, 11,
                 "       "},
        LineCase{"NineCharacterOrderGetsOnlyTheFixedFiveSpaces",
                 [](TicketData& t) { t.orderNo = "123456789"; t.location = "HM"; },
                 4, "       ORDER NO: HM/123456789/0     PART NO: WIDGET-100" + spaces(15) + "QUANTITY: 25.0"},
        LineCase{"ShortOrderIsPaddedToNineCharacters", [](TicketData& t) { t.orderNo = "501"; }, 4,
                 "       ORDER NO: ST/501/0" + spaces(11) + "PART NO: WIDGET-100" + spaces(15) + "QUANTITY: 25.0"},
        LineCase{"ControlCharactersBecomeQuestionMarks",
                 [](TicketData& t) { t.operDescr = "LINE\r\nBREAK\x1B@\x0C"; }, 11, "       LINE??BREAK?@?"},
        LineCase{"TextIsInCodePage437",
                 [](TicketData& t) { t.customer = "M\u00fcller \u00a5 \u00f8"; }, 6,
                 "  OPERATION NO: 20  DEPT: MACHMILL" + spaces(16) + "CUSTOMER: M\x81ller \x9D ?"}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

}  // namespace
