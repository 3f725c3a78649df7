#include "platform/printer_device.h"

#include "tests/fixtures/data_source.h"

#include <gtest/gtest.h>

namespace {

TEST(PrinterDevice, WritesBytesExactlyAndTruncatesAnOldFile)
{
    ScratchDir dir;
    dir.write("lp", "old contents that must go");
    PrinterDevice device;
    ASSERT_TRUE(device.open(dir.file("lp")));
    const std::string bytes("\x1B" "C\x27\r\n\0\xFF", 7);
    EXPECT_TRUE(device.write(bytes));
    EXPECT_TRUE(device.close());
    EXPECT_EQ(dir.read("lp"), bytes);
}

TEST(PrinterDevice, UnopenableNamesAreReported)
{
    ScratchDir dir;
    PrinterDevice device;
    EXPECT_FALSE(device.open(dir.file("no-such-folder/lp")));
    EXPECT_FALSE(device.open(""));
    EXPECT_FALSE(device.write("x"));
    EXPECT_TRUE(device.close());
}

TEST(PrinterDevice, AFullDeviceFailsTheWrite)
{
    PrinterDevice device;
    ASSERT_TRUE(device.open("/dev/full"));
    EXPECT_FALSE(device.write("^XA"));
}

TEST(PrinterDevice, NotAvailableMessageKeepsTheNameAsConfigured)
{
    EXPECT_EQ(printerNotAvailable(" lp 1 "), "The printer  lp 1  is not available.");
}

}  // namespace
