#include "tickets/epson_page.h"

#include "text/codepage.h"
#include "text/text.h"

namespace {

constexpr std::string_view lineEnd = "\r\n";
// ESC J 4: feed the paper 4/216 inch without a carriage return.
constexpr std::string_view rowFeed = "\x1B" "J\x04\r";

std::string spaces(std::size_t count) { return std::string(count, ' '); }

std::string line(const std::string& utf8)
{
    return toPrinterBytes(utf8, CodePage::Cp437) + std::string(lineEnd);
}

std::string barBlock(const std::string& orderRow, const std::string& operationRow, bool& extraLine)
{
    const int rows = extraLine ? 14 : 13;
    extraLine = !extraLine;
    std::string row = orderRow + spaces(35) + operationRow + "\r" + std::string(rowFeed);
    std::string block;
    block.reserve(row.size() * rows);
    for (int i = 0; i < rows; ++i)
        block += row;
    return block;
}

}  // namespace

std::string epsonPage(const TicketData& t, RvBarCode& barcode, bool& extraLine)
{
    const std::size_t orderLength = text::characterCount(t.orderNo);
    const std::size_t orderPadding = orderLength < 9 ? 9 - orderLength : 0;

    std::string page = line("") + line(spaces(7) + "************* MOVE & IDENT CARD *************") +
                       line("") +
                       line(spaces(7) + "ORDER NO: " + t.location + "/" + t.orderNo + "/" + t.suffix +
                            spaces(orderPadding) + spaces(5) + "PART NO: " + t.partNo + spaces(5) +
                            "QUANTITY: " + t.qtyOrd) +
                       line("") +
                       line(spaces(2) + "OPERATION NO: " + t.operNo + "  DEPT: " + t.dept +
                            t.workCenter + spaces(15) + " CUSTOMER: " + t.customer) +
                       line("") +
                       line(spaces(2) + "NEXT OPER: " + t.nextOper + spaces(3) + "DEPT: " + t.nextDept +
                            spaces(3) + "QTY: ______" + spaces(5) + "EMPL NO: ______") +
                       line("") + line("") + line(spaces(7) + t.operDescr) +
                       line(spaces(50) + "ACCEPT/REJECT") + line("");

    barcode.setSymbology(RvBarCode::kInterleaved2of5);
    barcode.setCode(t.orderCode);
    const std::string orderRow = barcode.Epson();
    barcode.setSymbology(RvBarCode::kCode39);
    barcode.setCode(t.operCode);
    const std::string operationRow = barcode.Epson();

    page += line("SHOP ORDER" + spaces(42) + "OPERATION");
    page += barBlock(orderRow, operationRow, extraLine);
    for (int i = 0; i < 4; ++i)
        page += lineEnd;
    return page;
}
