#include "printing/zebra_status.h"

#include "tests/fixtures/loopback_printer.h"

#include <gtest/gtest.h>

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
