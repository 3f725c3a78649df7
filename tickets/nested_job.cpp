#include "tickets/nested_job.h"

#include "tickets/zebra_job.h"

std::string nestedJob(const NestedTicketData& t, int dpi)
{
    using zpl::textField;
    const zpl::Dots dots(dpi);
    return zpl::jobPrologue(dots) +
           zpl::field(zpl::origin(dots, 542, 290) + "^A0R," + dots.pair(51, 42) + "^CI13^FR",
                      "MOVE & IDENTIFCATION CARD (NESTED PART)") +
           textField(dots, 463, 60, "ORDER NO: " + t.location + " / " + t.orderNo + " / " + t.suffix) +
           textField(dots, 463, 591, "PART NO: " + t.partNo) +
           textField(dots, 463, 1047, "QUANTITY: " + t.quantity) +
           textField(dots, 384, 61, "OPERATION NO: " + t.operNo) +
           textField(dots, 384, 591, "DEPT: " + t.dept + " " + t.workCenter) +
           textField(dots, 384, 1048, "CUSTOMER: " + t.customer) +
           textField(dots, 340, 80, t.operDescr) +
           textField(dots, 260, 61, t.typedDept) +
           textField(dots, 260, 679, "QTY: ________") +
           textField(dots, 260, 955, "EMPL NO: ________") +
           textField(dots, 203, 290, t.comment) +
           textField(dots, 203, 1191, "ACCEPT/REJECT") +
           zpl::bottomBarcodes(dots, t.orderCode + "-" + t.suffixCode, t.operCode) +
           zpl::origin(dots, 536, 276) + "^GB" + dots.pair(80, 941) + "," + std::to_string(dots(4)) + "^FS\r\n" +
           zpl::jobEpilogue(t.labelQty);
}
