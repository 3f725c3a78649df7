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

std::string textField(std::string_view origin, std::string_view data)
{
    return field(std::string(origin) + "^A0R,51,33^CI13^FR", data);
}

std::string jobPrologue()
{
    return line("^XA") + line("^PRC") + line("^LHO,0^FS") + line("^LL1496") + line("^MDO") +
           line("^MNY") + line("^LH0,0^FS");
}

std::string bottomBarcodes(std::string_view orderBarcode, std::string_view operationBarcode)
{
    return textField("^FO92,56", "SHOP ORDER") + textField("^FO101,911", "OPERATION") +
           field("^BY3,3.0^FO55,290^B3R,N,100,Y,N^FR", orderBarcode) +
           field("^BY3,3.0^FO63,1137^B3R,N,100,Y,N^FR", operationBarcode);
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

std::string zebraJob(const TicketData& t)
{
    using zpl::field;
    using zpl::textField;
    return zpl::jobPrologue() +
           field("^FO542,61^A0R,51,42^CI13^FR", "MOVE & IDENTIFCATION CARD") +
           field("^BY3,3.0^FO555,700^B3R,N,75,Y,N^FR", t.partNo) +
           textField("^FO464,60", "ORDER NO: " + t.location + " / " + t.orderNo + " / " + t.suffix) +
           textField("^FO463,700", "PART NO: " + t.partNo) +
           textField("^FO463,1156", "QUANTITY: " + t.qtyOrd) +
           textField("^FO384,61", "OPERATION NO: " + t.operNo) +
           textField("^FO384,591", "DEPT: " + t.dept + " " + t.workCenter) +
           textField("^FO384,1048", "CUSTOMER: " + t.customer) +
           textField("^FO340,800", "CUSTPART#: " + t.custPart) +
           textField("^FO340,80", t.operDescr) +
           textField("^FO260,61", "DATE:__________") +
           textField("^FO260,416", "DEPT: " + t.nextDept) +
           textField("^FO260,679", "QTY: ________") +
           textField("^FO260,955", "EMPL NO: ________") +
           textField("^FO204,61", "NEXT OPER: " + t.nextOper) +
           textField("^FO204,416", t.nextDescr) +
           textField("^FO203,1191", "ACCEPT/REJECT") +
           zpl::bottomBarcodes(t.orderCode + "-" + t.suffixCode, t.operCode) +
           zpl::jobEpilogue(t.labelQty);
}
