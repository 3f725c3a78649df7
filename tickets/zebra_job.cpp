#include "tickets/zebra_job.h"

#include "text/codepage.h"

namespace zpl {

namespace {

constexpr std::string_view lineEnd = "\r\n";

std::string line(std::string_view content)
{
    std::string result(content);
    result += lineEnd;
    return result;
}

bool needsHexEscapes(std::string_view data) { return data.find_first_of("^~") != std::string_view::npos; }

std::string hexEscaped(std::string_view data)
{
    std::string escaped;
    escaped.reserve(data.size() + 8);
    for (char c : data) {
        switch (c) {
        case '^': escaped += "_5E"; break;
        case '~': escaped += "_7E"; break;
        case '_': escaped += "_5F"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

}  // namespace

std::string field(std::string_view head, std::string_view data)
{
    const std::string bytes = toPrinterBytes(data, CodePage::Cp850);
    std::string result(head);
    if (needsHexEscapes(bytes)) {
        result += "^FH^FD";
        result += hexEscaped(bytes);
    } else {
        result += "^FD";
        result += bytes;
    }
    result += "^FS";
    result += lineEnd;
    return result;
}

Dots::Dots(int dpi) : twelfths_(dpi == 600 ? 36 : dpi == 300 ? 18 : 12) {}

int Dots::operator()(int at203) const { return (at203 * twelfths_ + 6) / 12; }

int Dots::narrowBar(int at203) const { return at203 * twelfths_ / 12; }

std::string Dots::pair(int x, int y) const { return std::to_string((*this)(x)) + "," + std::to_string((*this)(y)); }

std::string origin(const Dots& dots, int x, int y) { return "^FO" + dots.pair(x, y); }

std::string textField(const Dots& dots, int x, int y, std::string_view data)
{
    return field(origin(dots, x, y) + "^A0R," + dots.pair(51, 33) + "^CI13^FR", data);
}

std::string barcodeHead(const Dots& dots, int x, int y, int height)
{
    return "^BY" + std::to_string(dots.narrowBar(3)) + ",3.0" + origin(dots, x, y) + "^B3R,N," +
           std::to_string(dots(height)) + ",Y,N^FR";
}

std::string jobPrologue(const Dots& dots)
{
    return line("^XA") + line("^PRC") + line("^LHO,0^FS") + line("^LL" + std::to_string(dots(1496))) + line("^MDO") +
           line("^MNY") + line("^LH0,0^FS");
}

std::string bottomBarcodes(const Dots& dots, std::string_view orderBarcode, std::string_view operationBarcode)
{
    return textField(dots, 92, 56, "SHOP ORDER") + textField(dots, 101, 911, "OPERATION") +
           field(barcodeHead(dots, 55, 290, 100), orderBarcode) +
           field(barcodeHead(dots, 63, 1137, 100), operationBarcode);
}

std::string jobEpilogue(std::string_view labelQty)
{
    // ^PQ is no field, so ^FH cannot protect it: a caret or tilde in the
    // quantity is not passed on as a command.
    std::string quantity = toPrinterBytes(labelQty, CodePage::Cp850);
    for (char& c : quantity)
        if (c == '^' || c == '~')
            c = '?';
    return line("^PQ" + quantity + ",0,0,N") + line("^XZ") + line("^FX End of Job") + line("^XA") +
           line("^IDR:ID*.*") + line("^XZ");
}

}  // namespace zpl

std::string zebraJob(const TicketData& t, int dpi)
{
    using zpl::field;
    using zpl::textField;
    const zpl::Dots dots(dpi);
    return zpl::jobPrologue(dots) +
           field(zpl::origin(dots, 542, 61) + "^A0R," + dots.pair(51, 42) + "^CI13^FR", "MOVE & IDENTIFCATION CARD") +
           field(zpl::barcodeHead(dots, 555, 700, 75), t.partNo) +
           textField(dots, 464, 60, "ORDER NO: " + t.location + " / " + t.orderNo + " / " + t.suffix) +
           textField(dots, 463, 700, "PART NO: " + t.partNo) +
           textField(dots, 463, 1156, "QUANTITY: " + t.qtyOrd) +
           textField(dots, 384, 61, "OPERATION NO: " + t.operNo) +
           textField(dots, 384, 591, "DEPT: " + t.dept + " " + t.workCenter) +
           textField(dots, 384, 1048, "CUSTOMER: " + t.customer) +
           textField(dots, 340, 800, "CUSTPART#: " + t.custPart) +
           textField(dots, 340, 80, t.operDescr) +
           textField(dots, 260, 61, "DATE:__________") +
           textField(dots, 260, 416, "DEPT: " + t.nextDept) +
           textField(dots, 260, 679, "QTY: ________") +
           textField(dots, 260, 955, "EMPL NO: ________") +
           textField(dots, 204, 61, "NEXT OPER: " + t.nextOper) +
           textField(dots, 204, 416, t.nextDescr) +
           textField(dots, 203, 1191, "ACCEPT/REJECT") +
           zpl::bottomBarcodes(dots, t.orderCode + "-" + t.suffixCode, t.operCode) +
           zpl::jobEpilogue(t.labelQty);
}
