#include "commands/print_run.h"

#include "support/bit_image_decoder.h"
#include "tests/fixtures/main_window_fixture.h"

#include <ostream>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace {

using travcard::testing::decodeBitImageRow;
using travcard::testing::Decoded;
using ::testing::ElementsAre;

constexpr std::string_view rowFeed = "\x1BJ\x04\r";
constexpr std::string_view pageEnd = "\x1BJ\x04\r\r\n\r\n\r\n\r\n";

// One printed page: its fourteen text lines and its bar block, whose rows
// must all be the same order row, 35 spaces, operation row and CR.
struct Page {
    std::vector<std::string> lines;
    std::size_t barRows = 0;
    std::string orderRow;
    std::string operationRow;
};

// The ESC L command at the front of bytes, by its declared column count.
std::string takeBitImage(std::string_view& bytes)
{
    if (bytes.size() < 4 || bytes.substr(0, 2) != "\x1BL")
        throw std::runtime_error("no ESC L where a bar row should start");
    const std::size_t length = 4 + static_cast<unsigned char>(bytes[2]) +
                               256 * static_cast<std::size_t>(static_cast<unsigned char>(bytes[3]));
    const std::string command(bytes.substr(0, length));
    bytes.remove_prefix(command.size());
    return command;
}

Page parsePage(std::string_view bytes)
{
    Page page;
    for (int line = 0; line < 14; ++line) {
        const std::size_t end = bytes.find("\r\n");
        page.lines.emplace_back(bytes.substr(0, end));
        bytes.remove_prefix(end + 2);
    }
    std::string_view row = bytes;
    page.orderRow = takeBitImage(row);
    if (row.substr(0, 35) != std::string(35, ' '))
        throw std::runtime_error("the two bar rows are not 35 spaces apart");
    row.remove_prefix(35);
    page.operationRow = takeBitImage(row);
    const std::string fullRow = page.orderRow + std::string(35, ' ') + page.operationRow + "\r" +
                                std::string(rowFeed);
    for (; bytes.starts_with(fullRow); bytes.remove_prefix(fullRow.size()))
        ++page.barRows;
    if (bytes != "\r\n\r\n\r\n\r\n")
        throw std::runtime_error("the bar block is not followed by exactly four line ends");
    return page;
}

// The printer file cut after each page's four line ends.
std::vector<Page> parsePages(std::string_view printed)
{
    std::vector<Page> pages;
    while (!printed.empty()) {
        const std::size_t end = printed.find(pageEnd);
        if (end == std::string_view::npos)
            throw std::runtime_error("the output ends inside a page");
        pages.push_back(parsePage(printed.substr(0, end + pageEnd.size())));
        printed.remove_prefix(end + pageEnd.size());
    }
    return pages;
}

class PrintRunEpson : public MainWindowTest {
protected:
    void SetUp() override { start("EPSON"); }

    void locateAndPrint(const QString& order, const QString& location, const QString& operation,
                        const QString& quantity, const QString& suffix = "0")
    {
        locate(order, location, suffix);
        ASSERT_TRUE(messages.shown.empty()) << messages.shown.front().text;
        print(operation, quantity);
        ASSERT_TRUE(messages.shown.empty()) << messages.shown.front().text;
    }

    std::vector<Page> pages() const { return parsePages(printed()); }

    std::vector<std::size_t> barRowsPerPage() const
    {
        std::vector<std::size_t> rows;
        for (const Page& page : pages())
            rows.push_back(page.barRows);
        return rows;
    }
};

TEST_F(PrintRunEpson, OneOperationPrintsOnePageOfItsTicket)
{
    locateAndPrint("12345", "ST", "20", "1");
    const std::vector<Page> printedPages = pages();
    ASSERT_EQ(printedPages.size(), 1u);
    const Page& page = printedPages.front();
    EXPECT_EQ(page.lines[3], "       ORDER NO: ST/12345/0         PART NO: WIDGET-100"
                             "               QUANTITY: 25.0");
    EXPECT_EQ(page.lines[5], "  OPERATION NO: 20  DEPT: MACHMILL                CUSTOMER: ACME      ");
    EXPECT_EQ(page.lines[7], "  NEXT OPER: 30   DEPT: OUTS VEND   QTY: ______     EMPL NO: ______")
        << "the type S operation 30 follows 20";
    EXPECT_EQ(page.lines[10], "       MILL SLOT 12 MM               ");
    EXPECT_EQ(page.barRows, 13u);
}

TEST_F(PrintRunEpson, EveryCopyIsAWholePageInOperationOrder)
{
    locateAndPrint("12345", "ST", "All", "3", "1");
    std::vector<std::string> operationLines;
    for (const Page& page : pages())
        operationLines.push_back(page.lines[5].substr(0, 18));
    EXPECT_THAT(operationLines, ElementsAre("  OPERATION NO: 10", "  OPERATION NO: 10", "  OPERATION NO: 10",
                                            "  OPERATION NO: 20", "  OPERATION NO: 20", "  OPERATION NO: 20"));
    EXPECT_THAT(barRowsPerPage(), ElementsAre(13u, 14u, 13u, 14u, 13u, 14u));
}

TEST_F(PrintRunEpson, RowCountAlternationRunsOnAcrossPrintPresses)
{
    locateAndPrint("12345", "ST", "20", "2");
    EXPECT_THAT(barRowsPerPage(), ElementsAre(13u, 14u));
    print("40", "1");
    EXPECT_THAT(barRowsPerPage(), ElementsAre(13u));
    print("40", "-1");
    EXPECT_THAT(barRowsPerPage(), ElementsAre()) << "a run without pages flips nothing";
    print("40", "1");
    EXPECT_THAT(barRowsPerPage(), ElementsAre(14u));
}

TEST_F(PrintRunEpson, RunThatReachesNoPrinterLeavesTheAlternationAlone)
{
    locate("12345");
    printer().name = "/dev/full";
    print("20", "1");
    EXPECT_THAT(messages.texts(),
                ElementsAre("The printer /dev/full is not available.\nNo space left on device.\n"
                            "0 of 1 pages were sent."));
    printer().name = printerFile();
    print("20", "1");
    EXPECT_THAT(barRowsPerPage(), ElementsAre(13u));
}

struct CopiesCase {
    const char* name;
    const char* quantity;
    std::size_t pages;
};

void PrintTo(const CopiesCase& c, std::ostream* out) { *out << c.name; }

class EpsonCopies : public PrintRunEpson, public ::testing::WithParamInterface<CopiesCase> {};

TEST_P(EpsonCopies, AreTheQuantityRoundedHalfToEven)
{
    locateAndPrint("12345", "ST", "20", GetParam().quantity);
    EXPECT_TRUE(printerFileExists()) << "the device is opened and closed";
    EXPECT_EQ(pages().size(), GetParam().pages);
}

INSTANTIATE_TEST_SUITE_P(Quantities, EpsonCopies,
                         ::testing::Values(CopiesCase{"TwoAndAHalfGivesTwo", "2.5", 2},
                                           CopiesCase{"ThreeAndAHalfGivesFour", "3.5", 4},
                                           CopiesCase{"MinusTwoGivesNone", "-2", 0},
                                           CopiesCase{"NoughtPointFourGivesNone", "0.4", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// A line of the page printed for one operation of a demo order.
struct TicketLineCase {
    const char* name;
    const char* order;
    const char* location;
    const char* operation;
    std::size_t lineNumber;  // 1 to 14
    std::string expected;
};

void PrintTo(const TicketLineCase& c, std::ostream* out) { *out << c.name; }

class EpsonTicketLine : public PrintRunEpson, public ::testing::WithParamInterface<TicketLineCase> {};

TEST_P(EpsonTicketLine, ReadsAsExpected)
{
    const TicketLineCase& c = GetParam();
    locateAndPrint(c.order, c.location, c.operation, "1");
    const std::vector<Page> printedPages = pages();
    ASSERT_EQ(printedPages.size(), 1u);
    EXPECT_EQ(printedPages.front().lines.at(c.lineNumber - 1), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    DemoOrders, EpsonTicketLine,
    ::testing::Values(
        TicketLineCase{"LastOperationReadsDone", "12345", "ST", "50", 8,
                       "  NEXT OPER: DONE   DEPT: DONE   QTY: ______     EMPL NO: ______"},
        TicketLineCase{"NullDescriptionLeavesTheIndent", "456789", "HM", "40", 11, "       "},
        TicketLineCase{"NineCharacterOrder", "123456789", "HM", "1000", 4,
                       "       ORDER NO: HM/123456789/0     PART NO: CONVEYOR-ROLLER-2040     QUANTITY: 40.0"},
        TicketLineCase{"UmlautsInCodePage437", "31415", "HM", "10", 11,
                       "       S\x8EGEN AUF L\x8ENGE               "}),
    [](const auto& info) { return std::string(info.param.name); });

// What a barcode reader makes of the two bar rows of a printed page.
struct DecodeCase {
    const char* name;
    const char* order;
    const char* location;
    const char* suffix;
    const char* operation;
    const char* orderBarcode;
    const char* operationBarcode;
};

void PrintTo(const DecodeCase& c, std::ostream* out) { *out << c.name; }

class EpsonBarcodes : public PrintRunEpson, public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(EpsonBarcodes, ReadAsTheZeroFilledOrderAndOperation)
{
    const DecodeCase& c = GetParam();
    locateAndPrint(c.order, c.location, c.operation, "1", c.suffix);
    const std::vector<Page> printedPages = pages();
    ASSERT_EQ(printedPages.size(), 1u);
    EXPECT_THAT(decodeBitImageRow(printedPages.front().orderRow), ElementsAre(Decoded{"I2/5", c.orderBarcode}));
    EXPECT_THAT(decodeBitImageRow(printedPages.front().operationRow),
                ElementsAre(Decoded{"CODE-39", c.operationBarcode}));
}

INSTANTIATE_TEST_SUITE_P(
    DemoOrders, EpsonBarcodes,
    ::testing::Values(DecodeCase{"FiveDigitOrder", "12345", "ST", "0", "20", "012345", "0020"},
                      DecodeCase{"SuffixIsNotPartOfTheOrderBarcode", "12345", "ST", "1", "10", "012345", "0010"},
                      DecodeCase{"SixDigitOrder", "456789", "HM", "0", "30", "456789", "0030"},
                      DecodeCase{"SevenDigitOrderGetsALeadingZero", "1234567", "ST", "0", "20", "01234567",
                                 "0020"},
                      DecodeCase{"NineCharacterOrderAndFourDigitOperation", "123456789", "HM", "0", "1000",
                                 "0123456789", "1000"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
