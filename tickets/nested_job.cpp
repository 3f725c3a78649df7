#include "tickets/nested_job.h"

#include "tickets/zebra_job.h"

std::string nestedJob(const NestedTicketData& t)
{
    using zpl::textField;
    return zpl::jobPrologue() +
           zpl::field("^FO542,290^A0R,51,42^CI13^FR", "MOVE & IDENTIFCATION CARD (NESTED PART)") +
           textField("^FO463,60", "ORDER NO: " + t.location + " / " + t.orderNo + " / " + t.suffix) +
           textField("^FO463,591", "PART NO: " + t.partNo) +
           textField("^FO463,1047", "QUANTITY: " + t.quantity) +
           textField("^FO384,61", "OPERATION NO: " + t.operNo) +
           textField("^FO384,591", "DEPT: " + t.dept + " " + t.workCenter) +
           textField("^FO384,1048", "CUSTOMER: " + t.customer) +
           textField("^FO340,80", t.operDescr) +
           textField("^FO260,61", t.typedDept) +
           textField("^FO260,679", "QTY: ________") +
           textField("^FO260,955", "EMPL NO: ________") +
           textField("^FO203,290", t.comment) +
           textField("^FO203,1191", "ACCEPT/REJECT") +
           zpl::bottomBarcodes(t.orderCode + "-" + t.suffixCode, t.operCode) +
           "^FO536,276^GB80,941,4^FS\r\n" +
           zpl::jobEpilogue(t.labelQty);
}
