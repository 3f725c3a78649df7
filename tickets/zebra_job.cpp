#include "tickets/zebra_job.h"

#include "platform/codepage.h"

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

std::string jobPrologue()
{
    return line("^XA") + line("^PRC") + line("^LHO,0^FS") + line("^LL1496") + line("^MDO") +
           line("^MNY") + line("^LH0,0^FS");
}

std::string bottomBarcodes(std::string_view orderBarcode, std::string_view operationBarcode)
{
    return field("^FO92,56^A0R,51,33^CI13^FR", "SHOP ORDER") +
           field("^FO101,911^A0R,51,33^CI13^FR", "OPERATION") +
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
    constexpr std::string_view text = "^A0R,51,33^CI13^FR";
    const auto at = [&](std::string_view origin) { return std::string(origin) + std::string(text); };
    return zpl::jobPrologue() +
           field("^FO542,61^A0R,51,42^CI13^FR", "MOVE & IDENTIFCATION CARD") +
           field("^BY3,3.0^FO555,700^B3R,N,75,Y,N^FR", t.partNo) +
           field(at("^FO464,60"), "ORDER NO: " + t.location + " / " + t.orderNo + " / " + t.suffix) +
           field(at("^FO463,700"), "PART NO: " + t.partNo) +
           field(at("^FO463,1156"), "QUANTITY: " + t.qtyOrd) +
           field(at("^FO384,61"), "OPERATION NO: " + t.operNo) +
           field(at("^FO384,591"), "DEPT: " + t.dept + " " + t.workCenter) +
           field(at("^FO384,1048"), "CUSTOMER: " + t.customer) +
           field(at("^FO340,800"), "CUSTPART#: " + t.custPart) +
           field(at("^FO340,80"), t.operDescr) +
           field(at("^FO260,61"), "DATE:__________") +
           field(at("^FO260,416"), "DEPT: " + t.nextDept) +
           field(at("^FO260,679"), "QTY: ________") +
           field(at("^FO260,955"), "EMPL NO: ________") +
           field(at("^FO204,61"), "NEXT OPER: " + t.nextOper) +
           field(at("^FO204,416"), t.nextDescr) +
           field(at("^FO203,1191"), "ACCEPT/REJECT") +
           zpl::bottomBarcodes(t.orderCode + "-" + t.suffixCode, t.operCode) +
           zpl::jobEpilogue(t.labelQty);
}
