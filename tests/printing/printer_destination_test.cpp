#include "printing/printer_destination.h"
#include "printing/zebra_status.h"

#include "tests/fixtures/data_source.h"
#include "tests/fixtures/fifo_reader.h"
#include "tests/fixtures/loopback_printer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stop_token>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

DestinationLimits shortLimits()
{
    DestinationLimits limits;
    limits.openTimeout = 200ms;
    limits.stallTimeout = 300ms;
    limits.closeWait = 2s;
    return limits;
}

// Writes chunks until the destination refuses; the number of bytes taken.
std::size_t writeUntilRefused(PrinterDestination& destination)
{
    const std::string chunk(4 * 1024, 'x');
    std::size_t written = 0;
    try {
        for (int i = 0; i < 32'000; ++i) {
            destination.write(chunk);
            written += chunk.size();
        }
    } catch (const PrinterError&) {
        return written;
    }
    ADD_FAILURE() << "128 MB were taken";
    return written;
}

TEST(PathDestination, WritesBytesExactlyAndTruncatesAnOldFile)
{
    ScratchDir dir;
    dir.write("lp", "old contents that must go");
    auto destination = openDestination(dir.file("lp"), shortLimits());
    const std::string bytes("\x1B" "C\x27\r\n\0\xFF", 7);
    destination->write(bytes);
    destination->finish();
    EXPECT_EQ(dir.read("lp"), bytes);
}

TEST(PathDestination, UnopenableNamesAndAFifoWithoutReaderAreRefusedInTime)
{
    ScratchDir dir;
    EXPECT_THROW(openDestination(dir.file("no-such-folder/lp"), shortLimits()), PrinterError);
    EXPECT_THROW(openDestination("", shortLimits()), PrinterError);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(openDestination(dir.file("fifo"), shortLimits()), PrinterError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(PathDestination, ADeviceThatIsNotThereIsNotAvailableAndNotCreated)
{
    const std::string missing = "/dev/travcard-test-no-such-printer";
    EXPECT_THROW(openDestination(missing, shortLimits()), PrinterError);
    EXPECT_FALSE(std::filesystem::exists(missing));
    std::filesystem::remove(missing);
}

TEST(PathDestination, AFullDeviceOrAFifoWhoseReaderLeftFailsTheWriteWithoutASignal)
{
    auto full = openDestination("/dev/full", shortLimits());
    EXPECT_THROW(full->write("^XA"), PrinterError);

    ScratchDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const int reader = ::open(dir.file("fifo").c_str(), O_RDONLY | O_NONBLOCK);
    auto fifo = openDestination(dir.file("fifo"), shortLimits());
    ::close(reader);
    EXPECT_THROW(fifo->write("^XA"), PrinterError);
}

TEST(SocketDestination, DeliversEveryByteAndWaitsForThePrinterToClose)
{
    LoopbackPrinter printer;
    std::string bytes;
    for (int i = 0; i < 200'000; ++i)
        bytes += static_cast<char>(i % 251);
    auto destination = openDestination(printer.address(), shortLimits());
    destination->write(bytes);
    destination->finish();
    EXPECT_EQ(printer.received(), bytes);
}

TEST(SocketDestination, AClosedPortIsRefusedAtOnce)
{
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(openDestination("socket://127.0.0.1:" + std::to_string(LoopbackPrinter::closedPort()),
                                 shortLimits()),
                 PrinterError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_THROW(openDestination("socket://", shortLimits()), PrinterError);
}

// What the printer has not acknowledged stays within a batch: the kernel
// would queue megabytes, and Stop and the count would follow the kernel.
TEST(SocketDestination, APrinterThatNeverReadsStallsTheWriteWithLittleInFlight)
{
    LoopbackPrinter printer({.statusReply = {}, .reads = false});
    auto destination = openDestination(printer.address(), shortLimits());
    const std::size_t written = writeUntilRefused(*destination);
    EXPECT_GT(written, 0u);
    EXPECT_LE(written, printer.taken() + PrinterDestination::inFlight);
    EXPECT_LE(destination->acknowledgedBytes(), printer.taken());
}

// A reset is an error, not a signal; what the printer's stack took of the
// job is confirmed, whatever the write under way, and the status request
// before the job is not part of it.
TEST(SocketDestination, APrinterThatResetsPartWayFailsTheWriteAndConfirmsWhatItTook)
{
    LoopbackPrinter printer({.statusReply = LoopbackPrinter::hostStatus('0', '0', '0', '0'),
                             .closeAfter = 100'000});
    auto destination = openDestination(printer.address(), shortLimits());
    destination->request(hostStatusRequest, hostStatusComplete, 2s);
    EXPECT_GE(writeUntilRefused(*destination), 64u * 1024);
    EXPECT_LE(hostStatusRequest.size() + destination->acknowledgedBytes(), printer.taken());
    EXPECT_GE(hostStatusRequest.size() + destination->acknowledgedBytes(), 100'000u) << "bytes it read";
}

// A run that was given up must not wait out a printer that takes nothing.
TEST(PrinterDestination, AStopEndsAWriteThatWaitsForThePrinterAtOnce)
{
    DestinationLimits limits = shortLimits();
    limits.stallTimeout = 30s;
    LoopbackPrinter network({.statusReply = {}, .reads = false});
    ScratchDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const FifoReader device(dir.file("fifo"), 0);
    for (const std::string& name : {network.address(), dir.file("fifo")}) {
        std::stop_source stop;
        auto destination = openDestination(name, limits, stop.get_token());
        const std::jthread stopper([&stop] {
            std::this_thread::sleep_for(300ms);
            stop.request_stop();
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_GT(writeUntilRefused(*destination), 0u) << name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << name;
    }
}

TEST(PreviewDestination, KeepsTheBytesUpToItsCap)
{
    DestinationLimits limits;
    limits.previewCap = 1 << 20;
    auto destination = openDestination("preview:", limits);
    const std::string full(limits.previewCap - 1, 'x');
    destination->write(full);
    destination->write("y");
    try {
        destination->write("x");
        FAIL() << "the cap let a byte past";
    } catch (const PrinterError& error) {
        EXPECT_EQ(error.operatorText(),
                  "The preview holds at most 1 MB of printer output; printing stopped.");
    }
    destination->finish();
    EXPECT_EQ(destination->takeCapture(), full + "y");
}

TEST(PrinterDestination, NotAvailableMessageKeepsTheNameAsConfigured)
{
    EXPECT_EQ(printerNotAvailable(" lp 1 "), "The printer  lp 1  is not available.");
}

}  // namespace
