#include "printing/zebra_proof.h"
#include "printing/zebra_status.h"

#include "tests/fixtures/loopback_printer.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

TEST(ZebraStatus, ReadsTheFlagsFromTheirPublishedPositions)
{
    const auto status = [](char paperOut, char paused, char headUp, char ribbonOut) {
        return parseHostStatus(LoopbackPrinter::hostStatus(paperOut, paused, headUp, ribbonOut));
    };
    EXPECT_EQ(status('0', '0', '0', '0'), ZebraStatus{});
    EXPECT_EQ(status('1', '0', '0', '0'), (ZebraStatus{.paperOut = true}));
    EXPECT_EQ(status('0', '1', '0', '0'), (ZebraStatus{.paused = true}));
    EXPECT_EQ(status('0', '0', '1', '0'), (ZebraStatus{.headOpen = true}));
    EXPECT_EQ(status('0', '0', '0', '1'), (ZebraStatus{.ribbonOut = true}));
}

TEST(ZebraStatus, AnythingButThreeWholeStringsIsNoStatus)
{
    const std::string healthy = LoopbackPrinter::hostStatus('0', '0', '0', '0');
    EXPECT_FALSE(hostStatusComplete(healthy.substr(0, healthy.size() - 1)));
    EXPECT_TRUE(hostStatusComplete(healthy));
    EXPECT_FALSE(parseHostStatus(""));
    EXPECT_FALSE(parseHostStatus("HTTP/1.1 400 Bad Request\r\n\r\n"));
    EXPECT_FALSE(parseHostStatus(healthy.substr(0, healthy.size() - 1)));
    EXPECT_FALSE(parseHostStatus(LoopbackPrinter::hostStatus('2', '0', '0', '0')));
    EXPECT_FALSE(parseHostStatus("\x02" "1,2\x03\r\n\x02" "3\x03\r\n\x02" "4,5\x03\r\n"));
}

TEST(ZebraStatus, FaultsInWords)
{
    EXPECT_EQ(faultsInWords({}), "");
    EXPECT_EQ(faultsInWords({.paperOut = true, .paused = true, .headOpen = true, .ribbonOut = true}),
              "paper out, head open, ribbon out, paused");
}

}  // namespace

namespace {

// A ~HS answer with the buffer's counts and the paper-out flag.
std::string statusWith(int formats, char partial, int labels, char paperOut = '0')
{
    char first[64];
    char second[64];
    std::snprintf(first, sizeof first, "030,%c,0,1245,%03d,0,0,%c,000,0,0,0", paperOut, formats, partial);
    std::snprintf(second, sizeof second, "001,0,0,0,1,2,6,0,%08d,1,000", labels);
    return std::string("\x02") + first + "\x03\r\n\x02" + second + "\x03\r\n\x02" "1234,0\x03\r\n";
}

// Four tickets of two formats each (a label, then the one that deletes
// images) are written; ~HS is sent after the third; the answer proves...
TEST(PrintedProof, ProvesTheTicketsWhoseFormatsAllLieBeforeWhatThePrinterStillHolds)
{
    const std::string ticket = "^XA^FO1,1^FDx^FS^PQ1,0,0,N^XZ\r\n^XA^IDR:ID*.*^XZ\r\n";
    struct Case {
        const char* what;
        std::string answer;
        int printed;
        bool unreadable;
    };
    const Case cases[] = {
        {"an empty buffer: the three before the request", statusWith(0, '0', 0), 3, false},
        {"one format left: the delete of the third", statusWith(1, '0', 0), 2, false},
        {"two formats left: the whole third", statusWith(2, '0', 0), 2, false},
        {"three left: the second's delete too", statusWith(3, '0', 0), 1, false},
        {"labels remaining: the format printing counts", statusWith(2, '0', 1), 1, false},
        {"a partial format counts as one printing", statusWith(0, '1', 0), 2, false},
        {"more left than was sent", statusWith(9, '0', 0), 0, false},
        {"paper out proves nothing", statusWith(0, '0', 0, '1'), 0, false},
        {"an answer that is no status", "\x02" "oops\x03\r\n\x02" "x\x03\r\n\x02" "y\x03\r\n", 0, true},
    };
    for (const Case& c : cases) {
        PrintedProof proof;
        for (int i = 0; i < 3; ++i)
            proof.written(ticket);
        proof.asked(PrintedProof::Clock::now());
        proof.written(ticket);  // after the request: never proven by its answer
        EXPECT_TRUE(proof.awaiting());
        // In two pieces, as TCP may deliver it.
        proof.received(std::string_view(c.answer).substr(0, c.answer.size() / 2));
        EXPECT_EQ(proof.printed(), 0) << c.what;
        proof.received(std::string_view(c.answer).substr(c.answer.size() / 2));
        EXPECT_EQ(proof.printed(), c.printed) << c.what;
        EXPECT_EQ(proof.givenUp(), c.unreadable) << c.what;
        EXPECT_FALSE(proof.awaiting()) << c.what;
    }
}

TEST(PrintedProof, AnAnswerNobodyAskedForEndsTheProofAndTheLastEmptyBufferProvesAll)
{
    const std::string ticket = "^XA^PQ1,0,0,N^XZ\r\n^XA^IDR:ID*.*^XZ\r\n";
    PrintedProof late;
    late.written(ticket);
    late.received(statusWith(0, '0', 0));
    EXPECT_TRUE(late.givenUp());
    EXPECT_EQ(late.printed(), 0);

    PrintedProof proof;
    proof.written(ticket);
    proof.asked(PrintedProof::Clock::now());
    proof.written(ticket);
    proof.received(statusWith(0, '0', 0));
    EXPECT_FALSE(proof.allPrinted());
    EXPECT_TRUE(proof.worthAsking());
    proof.asked(PrintedProof::Clock::now());
    EXPECT_FALSE(proof.worthAsking()) << "nothing written since the last request";
    proof.received(statusWith(0, '0', 0));
    EXPECT_TRUE(proof.allPrinted());
    EXPECT_EQ(proof.requestBytes(), 6u);

    // Two requests waiting: each answer to its own, in order.
    PrintedProof queued;
    queued.written(ticket);
    queued.asked(PrintedProof::Clock::now());
    queued.written(ticket);
    queued.asked(PrintedProof::Clock::now());
    queued.received(statusWith(0, '0', 0));
    EXPECT_EQ(queued.printed(), 1);
    EXPECT_TRUE(queued.awaiting());
    queued.received(statusWith(0, '0', 0));
    EXPECT_EQ(queued.printed(), 2);
}

}  // namespace
