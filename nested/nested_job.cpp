#include "nested/nested_job.h"

#include "tickets/zebra_job.h"

std::string nestedJob(const NestedTicketData& t)
{
    using zpl::field;
    constexpr std::string_view text = "^A0R,51,33^CI13^FR";
    const auto at = [&](std::string_view origin) { return std::string(origin) + std::string(text); };
    return zpl::jobPrologue() +
           field("^FO542,290^A0R,51,42^CI13^FR", "MOVE & IDENTIFCATION CARD (NESTED PART)") +
           field(at("^FO463,60"), "ORDER NO: " + t.location + " / " + t.orderNo + " / " + t.suffix) +
           field(at("^FO463,591"), "PART NO: " + t.partNo) +
           field(at("^FO463,1047"), "QUANTITY: " + t.quantity) +
           field(at("^FO384,61"), "OPERATION NO: " + t.operNo) +
           field(at("^FO384,591"), "DEPT: " + t.dept + " " + t.workCenter) +
           field(at("^FO384,1048"), "CUSTOMER: " + t.customer) +
           field(at("^FO340,80"), t.operDescr) +
           field(at("^FO260,61"), t.typedDept) +
           field(at("^FO260,679"), "QTY: ________") +
           field(at("^FO260,955"), "EMPL NO: ________") +
           field(at("^FO203,290"), t.comment) +
           field(at("^FO203,1191"), "ACCEPT/REJECT") +
           zpl::bottomBarcodes(t.orderCode + "-" + t.suffixCode, t.operCode) +
           "^FO536,276^GB80,941,4^FS\r\n" +
           zpl::jobEpilogue(t.labelQty);
}
