#include "tickets/zebra_job.h"

#include "tests/fixtures/sample_ticket.h"

#include <gtest/gtest.h>

namespace {

TEST(ZebraJob, IsTheThirtyFourLinesOfTheMoveTicket)
{
    const std::string expected = crlfLines({
        "^XA",
        "^PRC",
        "^LHO,0^FS",
        "^LL1496",
        "^MDO",
        "^MNY",
        "^LH0,0^FS",
        "^FO542,61^A0R,51,42^CI13^FR^FDMOVE & IDENTIFCATION CARD^FS",
        "^BY3,3.0^FO555,700^B3R,N,75,Y,N^FR^FDWIDGET-100          ^FS",
        "^FO464,60^A0R,51,33^CI13^FR^FDORDER NO: ST / 12345 / 0^FS",
        "^FO463,700^A0R,51,33^CI13^FR^FDPART NO: WIDGET-100          ^FS",
        "^FO463,1156^A0R,51,33^CI13^FR^FDQUANTITY: 25.0^FS",
        "^FO384,61^A0R,51,33^CI13^FR^FDOPERATION NO: 20^FS",
        "^FO384,591^A0R,51,33^CI13^FR^FDDEPT: MACH MILL^FS",
        "^FO384,1048^A0R,51,33^CI13^FR^FDCUSTOMER: ACME      ^FS",
        "^FO340,800^A0R,51,33^CI13^FR^FDCUSTPART#: AC-55-1002          ^FS",
        "^FO340,80^A0R,51,33^CI13^FR^FDMILL SLOT 12 MM               ^FS",
        "^FO260,61^A0R,51,33^CI13^FR^FDDATE:__________^FS",
        "^FO260,416^A0R,51,33^CI13^FR^FDDEPT: OUTS VEND^FS",
        "^FO260,679^A0R,51,33^CI13^FR^FDQTY: ________^FS",
        "^FO260,955^A0R,51,33^CI13^FR^FDEMPL NO: ________^FS",
        "^FO204,61^A0R,51,33^CI13^FR^FDNEXT OPER: 30^FS",
        "^FO204,416^A0R,51,33^CI13^FR^FDHEAT TREAT (OUTSIDE)          ^FS",
        "^FO203,1191^A0R,51,33^CI13^FR^FDACCEPT/REJECT^FS",
        "^FO92,56^A0R,51,33^CI13^FR^FDSHOP ORDER^FS",
        "^FO101,911^A0R,51,33^CI13^FR^FDOPERATION^FS",
        "^BY3,3.0^FO55,290^B3R,N,100,Y,N^FR^FD012345-001^FS",
        "^BY3,3.0^FO63,1137^B3R,N,100,Y,N^FR^FD0020^FS",
        "^PQ3,0,0,N",
        "^XZ",
        "^FX End of Job",
        "^XA",
        "^IDR:ID*.*",
        "^XZ",
    });
    EXPECT_EQ(zebraJob(sampleTicket()), expected);
}

TEST(ZebraJob, LastOperationReadsDoneWithAnEmptyNextDescription)
{
    TicketData t = sampleTicket();
    t.nextOper = "DONE";
    t.nextDept = "DONE";
    t.nextDescr.clear();
    const std::string job = zebraJob(t);
    EXPECT_NE(job.find("^FO260,416^A0R,51,33^CI13^FR^FDDEPT: DONE^FS\r\n"), std::string::npos);
    EXPECT_NE(job.find("^FO204,61^A0R,51,33^CI13^FR^FDNEXT OPER: DONE^FS\r\n"), std::string::npos);
    EXPECT_NE(job.find("^FO204,416^A0R,51,33^CI13^FR^FD^FS\r\n"), std::string::npos);
}

TEST(ZebraJob, QuantityIsWrittenAsTyped)
{
    for (const std::string quantity : {"2.5", "-2", ""}) {
        TicketData t = sampleTicket();
        t.labelQty = quantity;
        EXPECT_NE(zebraJob(t).find("\r\n^PQ" + quantity + ",0,0,N\r\n^XZ\r\n"), std::string::npos)
            << quantity;
    }
}

TEST(ZebraJob, CaretOrTildeInAValueTurnsOnHexEscapesForThatFieldOnly)
{
    TicketData t = sampleTicket();
    t.operDescr = "ASSEMBLE ^ PRESS_FIT ~6.5";
    t.partNo = "P^XZ";
    const std::string job = zebraJob(t);
    EXPECT_NE(job.find("^FO340,80^A0R,51,33^CI13^FR^FH^FDASSEMBLE _5E PRESS_5FFIT _7E6.5^FS\r\n"),
              std::string::npos);
    EXPECT_NE(job.find("^BY3,3.0^FO555,700^B3R,N,75,Y,N^FR^FH^FDP_5EXZ^FS\r\n"), std::string::npos);
    EXPECT_NE(job.find("^FO463,700^A0R,51,33^CI13^FR^FH^FDPART NO: P_5EXZ^FS\r\n"), std::string::npos);
    // Fields without a caret or tilde keep their underscores as they are.
    EXPECT_NE(job.find("^FO260,61^A0R,51,33^CI13^FR^FDDATE:__________^FS\r\n"), std::string::npos);
    EXPECT_EQ(job.find("^XZ"), job.find("\r\n^XZ\r\n") + 2) << "no value ends the format early";
}

TEST(ZebraJob, ValuesAreWrittenInCodePage850WithoutControlCharacters)
{
    TicketData t = sampleTicket();
    t.customer = "M\u00fcller";
    t.operDescr = "LINE\r\nBREAK";
    const std::string job = zebraJob(t);
    EXPECT_NE(job.find("^FDCUSTOMER: M\x81ller^FS\r\n"), std::string::npos);
    EXPECT_NE(job.find("^FDLINE??BREAK^FS\r\n"), std::string::npos);
}

TEST(ZebraJob, CaretInTheQuantityIsNoCommand)
{
    TicketData t = sampleTicket();
    t.labelQty = "1^XZ~JR";
    EXPECT_NE(zebraJob(t).find("\r\n^PQ1?XZ?JR,0,0,N\r\n"), std::string::npos);
}

}  // namespace

// A job for a 300 or 600 dpi printer: every dot value times 1.5 or 3,
// rounded half up (the narrow bar at 300 dpi down, to 4), and not one other
// character changed.
TEST(ZebraJob, AtHigherResolutionsOnlyTheDotValuesGrow)
{
    const auto withoutDigits = [](std::string text) {
        std::erase_if(text, [](char c) { return c >= '0' && c <= '9'; });
        return text;
    };
    const struct {
        int dpi;
        std::vector<std::string> lines;
    } resolutions[] = {
        {300,
         {"^LL2244", "^FO813,92^A0R,77,63^CI13^FR^FDMOVE", "^BY4,3.0^FO833,1050^B3R,N,113,Y,N^FR",
          "^FO696,90^A0R,77,50^CI13", "^BY4,3.0^FO83,435^B3R,N,150,Y,N^FR^FD012345-001^FS"}},
        {600,
         {"^LL4488", "^FO1626,183^A0R,153,126^CI13", "^BY9,3.0^FO1665,2100^B3R,N,225,Y,N^FR",
          "^BY9,3.0^FO189,3411^B3R,N,300,Y,N^FR^FD0020^FS"}},
    };
    const std::string at203 = zebraJob(sampleTicket());
    for (const auto& resolution : resolutions) {
        const std::string job = zebraJob(sampleTicket(), resolution.dpi);
        EXPECT_EQ(withoutDigits(job), withoutDigits(at203)) << resolution.dpi;
        EXPECT_NE(job.find("^PQ3,0,0,N\r\n^XZ\r\n^FX End of Job"), std::string::npos) << resolution.dpi;
        for (const std::string& line : resolution.lines)
            EXPECT_NE(job.find(line), std::string::npos) << resolution.dpi << ": " << line;
    }
}
