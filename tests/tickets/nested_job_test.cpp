#include "tickets/nested_job.h"

#include "tests/fixtures/sample_ticket.h"

#include <gtest/gtest.h>

namespace {

TEST(NestedJob, IsTheThirtyOneLinesOfTheNestedPartTicket)
{
    const NestedTicketData t{
        .location = "ST", .orderNo = "12345", .suffix = "0", .partNo = "NP-7 ", .quantity = "25",
        .operNo = "20", .dept = "MACH", .workCenter = "MILL",
        .operDescr = "MILL SLOT 12 MM               ", .customer = "MÜLLER", .typedDept = "WELD",
        .comment = " keep dry", .orderCode = "012345", .suffixCode = "001", .operCode = "0020",
        .labelQty = "3"};

    const std::string expected = crlfLines({
        "^XA",
        "^PRC",
        "^LHO,0^FS",
        "^LL1496",
        "^MDO",
        "^MNY",
        "^LH0,0^FS",
        "^FO542,290^A0R,51,42^CI13^FR^FDMOVE & IDENTIFCATION CARD (NESTED PART)^FS",
        "^FO463,60^A0R,51,33^CI13^FR^FDORDER NO: ST / 12345 / 0^FS",
        "^FO463,591^A0R,51,33^CI13^FR^FDPART NO: NP-7 ^FS",
        "^FO463,1047^A0R,51,33^CI13^FR^FDQUANTITY: 25^FS",
        "^FO384,61^A0R,51,33^CI13^FR^FDOPERATION NO: 20^FS",
        "^FO384,591^A0R,51,33^CI13^FR^FDDEPT: MACH MILL^FS",
        "^FO384,1048^A0R,51,33^CI13^FR^FDCUSTOMER: M\x9ALLER^FS",  // code page 850
        "^FO340,80^A0R,51,33^CI13^FR^FDMILL SLOT 12 MM               ^FS",
        "^FO260,61^A0R,51,33^CI13^FR^FDWELD^FS",
        "^FO260,679^A0R,51,33^CI13^FR^FDQTY: ________^FS",
        "^FO260,955^A0R,51,33^CI13^FR^FDEMPL NO: ________^FS",
        "^FO203,290^A0R,51,33^CI13^FR^FD keep dry^FS",
        "^FO203,1191^A0R,51,33^CI13^FR^FDACCEPT/REJECT^FS",
        "^FO92,56^A0R,51,33^CI13^FR^FDSHOP ORDER^FS",
        "^FO101,911^A0R,51,33^CI13^FR^FDOPERATION^FS",
        "^BY3,3.0^FO55,290^B3R,N,100,Y,N^FR^FD012345-001^FS",
        "^BY3,3.0^FO63,1137^B3R,N,100,Y,N^FR^FD0020^FS",
        "^FO536,276^GB80,941,4^FS",
        "^PQ3,0,0,N",
        "^XZ",
        "^FX End of Job",
        "^XA",
        "^IDR:ID*.*",
        "^XZ",
    });
    EXPECT_EQ(nestedJob(t), expected);
    EXPECT_NE(nestedJob(t, 300).find("\r\n^FO804,414^GB120,1412,6^FS\r\n"), std::string::npos)
        << "the frame around the title grows with the resolution";
}

}  // namespace
