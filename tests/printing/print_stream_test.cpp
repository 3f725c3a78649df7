#include "printing/print_stream.h"
#include "printing/zebra_status.h"

#include "tests/fixtures/data_source.h"
#include "tests/fixtures/loopback_printer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <numeric>
#include <poll.h>
#include <regex>
#include <span>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Prints twenty tickets of 1,000 bytes to path in a process whose files may
// not grow past fileSize bytes; writes the messages to stderr and exits with
// the number of tickets the stream counted as sent.
[[noreturn]] void printTwentyTicketsWithin(const std::string& path, rlim_t fileSize)
{
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{fileSize, fileSize};
    setrlimit(RLIMIT_FSIZE, &limit);
    PrinterSettings printer;
    printer.name = path;
    MessageList messages;
    PrintStream output(printer, nullptr);
    if (output.open(messages)) {
        output.begin(20, TicketUnit::Tickets);
        const std::string ticket(1000, 'x');
        for (int i = 0; i < 20 && output.send(ticket, messages); ++i) {
        }
        output.finish(messages);
    }
    for (const Message& message : messages.shown)
        std::cerr << message.text << '\n';
    std::exit(output.ticketsSent());
}

// Tickets are written in batches: a device that fills part-way through one
// must still be credited with each whole ticket it took, no more, no fewer.
// The file size limit stands in for the full device; it binds the whole
// process, hence the child process of a death test.
TEST(PrintStream, ADeviceThatFillsPartWayThroughABatchCountsTheWholeTicketsItTook)
{
    ScratchDir dir;
    EXPECT_EXIT(printTwentyTicketsWithin(dir.file("lp"), 10'500), ::testing::ExitedWithCode(10),
                "is not available\\.\nFile too large\\.\n10 of 20 tickets were sent\\.\n$");
    EXPECT_EQ(dir.read("lp").size(), 10'500u);
}

// Sends a hundred tickets of 1,000 bytes, as a print run does, until cancelled.
void printHundredTickets(const PrinterSettings& printer, std::shared_ptr<PrintProgress> progress,
                         MessageBox& messages)
{
    PrintStream output(printer, std::move(progress));
    if (!output.open(messages))
        return;
    output.begin(100, TicketUnit::Tickets);
    const std::string ticket(1000, 'x');
    int sent = 0;
    while (sent < 100 && output.send(ticket, messages))
        ++sent;
    if (sent == 100)
        output.finish(messages);
}

// A run given up (by the watchdog, or when the window closed) neither
// flushes the tickets it kept nor opens a printer any more.
TEST(PrintStream, AGivenUpRunWritesNothingMore)
{
    ScratchDir dir;
    PrinterSettings printer;
    printer.name = dir.file("lp");
    std::stop_source stop;
    MessageList messages;
    PrintStream output(printer, nullptr, stop.get_token());
    ASSERT_TRUE(output.open(messages));
    output.begin(2, TicketUnit::Tickets);
    EXPECT_TRUE(output.send("kept in the batch", messages));
    stop.request_stop();
    EXPECT_FALSE(output.finish(messages));
    EXPECT_EQ(dir.read("lp"), "");
    EXPECT_EQ(output.ticketsSent(), 0);

    printer.name = dir.file("lp2");
    PrintStream late(printer, nullptr, stop.get_token());
    EXPECT_FALSE(late.open(messages));
    EXPECT_FALSE(std::filesystem::exists(dir.file("lp2")));
}

// A printer that has made the run wait gets its tickets one at a time from
// then on, so that Cancel stops the run at the next ticket rather than after
// a batch of them. The FIFO's buffer is shrunk to hold four tickets.
TEST(PrintStream, OnceThePrinterMadeTheRunWaitCancelStopsAtTheNextTicket)
{
    ScratchDir dir;
    const std::string fifo = dir.file("lp");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_GT(::fcntl(reader, F_SETPIPE_SZ, 4096), 0);
    PrinterSettings printer;
    printer.name = fifo;
    auto progress = std::make_shared<PrintProgress>();
    MessageList messages;
    std::atomic<bool> ended{false};
    std::thread run([&] {
        printHundredTickets(printer, progress, messages);
        ended = true;
    });

    // The first batch drains slowly; the operator cancels a ticket after it.
    char buffer[1000];
    const int firstBatch = PrintStream::batchBytes / sizeof buffer + 1;
    while (progress->sent() <= firstBatch && !ended) {
        [[maybe_unused]] const ssize_t ignored = ::read(reader, buffer, sizeof buffer);
        std::this_thread::sleep_for(1ms);
    }
    progress->cancel();
    for (pollfd entry{reader, POLLIN, 0}; ::poll(&entry, 1, 10'000) > 0;)
        if (::read(reader, buffer, sizeof buffer) == 0)
            break;
    run.join();
    ::close(reader);

    ASSERT_EQ(messages.shown.size(), 1u);
    std::smatch count;
    ASSERT_TRUE(std::regex_match(messages.shown[0].text, count,
                                 std::regex("Printing cancelled: ([0-9]+) of 100 tickets were sent\\.")))
        << messages.shown[0].text;
    EXPECT_LE(std::stoi(count[1]), firstBatch + 1 + 4 + 1) << "the run sent a whole batch after Cancel";
}

// Tickets of 700 to 1,900 bytes, so that the points where printers stop fall
// at ever different places in them.
std::vector<std::string> mixedTickets(int count)
{
    std::vector<std::string> tickets;
    for (int i = 0; i < count; ++i)
        tickets.push_back("^XA" + std::string(700 + (i * 397) % 1200, 'a' + i % 26) + "^XZ");
    return tickets;
}

std::size_t bytesOfFirst(const std::vector<std::string>& tickets, int count)
{
    const auto end = tickets.begin() + std::min<std::size_t>(count, tickets.size());
    return std::accumulate(tickets.begin(), end, std::size_t{0},
                           [](std::size_t sum, const std::string& ticket) { return sum + ticket.size(); });
}

// Prints tickets to printer as a run does; the number counted as sent.
int printOnSocket(const PrinterSettings& printer, std::span<const std::string> tickets,
                  std::shared_ptr<PrintProgress> progress, MessageBox& messages)
{
    PrintStream output(printer, std::move(progress));
    if (!output.open(messages))
        return 0;
    output.begin(static_cast<int>(tickets.size()), TicketUnit::Tickets);
    for (const std::string& ticket : tickets)
        if (!output.send(ticket, messages))
            return output.ticketsSent();
    output.finish(messages);
    return output.ticketsSent();
}

int printOnSocket(const PrinterSettings& printer, std::span<const std::string> tickets)
{
    MessageList messages;
    return printOnSocket(printer, tickets, nullptr, messages);
}

// Print the Rest skips every ticket counted and prints every other: after a
// Zebra printer resets, the count may claim only bytes its TCP stack took,
// and must claim each ticket it had read. So wherever the reset falls (the
// first run: right after the status answer), and whether the run is still
// writing (a long run) or has all of it queued (a short one).
TEST(PrintStream, AfterAPrinterResetsTheCountHoldsJustTheTicketsItTook)
{
    const std::vector<std::string> tickets = mixedTickets(6000);
    PrinterSettings zebra;
    zebra.kind = PrinterKind::Zebra;
    zebra.limits.stallTimeout = 5s;
    for (int run = 0; run < 50; ++run) {
        const std::size_t resetAfter = hostStatusRequest.size() + static_cast<std::size_t>(run) * 5813;
        LoopbackPrinter printer(
            {.statusReply = LoopbackPrinter::hostStatus('0', '0', '0', '0'), .closeAfter = resetAfter});
        zebra.name = printer.address();
        const int counted = printOnSocket(zebra, std::span(tickets).first(run % 2 ? 6000 : 1714));
        EXPECT_LE(hostStatusRequest.size() + bytesOfFirst(tickets, counted), printer.taken())
            << counted << " tickets counted after a reset past byte " << resetAfter << ", " << printer.taken()
            << " bytes taken";
        EXPECT_GT(hostStatusRequest.size() + bytesOfFirst(tickets, counted + 1), resetAfter)
            << counted << " tickets counted after a reset past byte " << resetAfter;
    }
}

// A printer out of paper keeps what its stack acknowledged and prints it
// once loaded: each of those tickets counts, and no other.
TEST(PrintStream, AfterAPrinterStallsEveryAcknowledgedTicketCounts)
{
    const std::vector<std::string> tickets = mixedTickets(1714);
    LoopbackPrinter printer({.statusReply = {}, .reads = false});
    PrinterSettings settings;
    settings.name = printer.address();
    settings.kind = PrinterKind::Epson;  // asked for no status
    settings.limits.stallTimeout = 300ms;
    const int counted = printOnSocket(settings, tickets);
    EXPECT_GT(counted, 0);
    EXPECT_LE(bytesOfFirst(tickets, counted), printer.taken());
    EXPECT_GT(bytesOfFirst(tickets, counted + 1), printer.taken());
}

// A network printer that prints 8 KB a second: the count follows what it
// acknowledged while the run goes on, and Cancel ends the run within
// seconds, with the printer holding whole tickets, as many as the message says.
TEST(PrintStream, CancelAtASlowNetworkPrinterEndsSoonWithWholeTicketsAllCounted)
{
    const std::vector<std::string> tickets = mixedTickets(600);
    LoopbackPrinter printer({.statusReply = LoopbackPrinter::hostStatus('0', '0', '0', '0'), .bytesPerSecond = 8192});
    PrinterSettings zebra{printer.address(), PrinterKind::Zebra, {}};
    auto progress = std::make_shared<PrintProgress>();
    MessageList messages;
    std::atomic<int> sent{-1};
    std::jthread run([&] {
        PrintStream output(zebra, progress);
        if (!output.open(messages))
            return;
        output.begin(600, TicketUnit::Tickets);
        for (const std::string& ticket : tickets)
            if (!output.send(ticket, messages))
                break;
        if (!progress->cancelled())
            output.finish(messages);
        sent = output.ticketsSent();
    });
    std::this_thread::sleep_for(2s);
    const int counted = progress->sent();
    std::this_thread::sleep_for(50ms);  // the printer's figure is looked at every few milliseconds
    EXPECT_LE(hostStatusRequest.size() + bytesOfFirst(tickets, counted), printer.taken())
        << "a ticket counted before the printer took it";
    const auto cancelled = std::chrono::steady_clock::now();
    progress->cancel();
    run.join();
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, 10s);

    const std::string received = withoutStatusRequests(printer.received());
    const int whole = sent.load();
    EXPECT_EQ(received.size(), bytesOfFirst(tickets, whole)) << "the printer holds part of a ticket";
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown.front().text, "Printing cancelled: " + std::to_string(whole) + " of 600 tickets were sent.");
    EXPECT_GT(whole, 0);
}

// A second descriptor of this process's connection to port, which keeps
// the socket for the test to look at once the stream has closed it; -1
// while there is none.
int connectionTo(int port)
{
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::atoi(entry.path().filename().c_str());
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 && peer.sin_family == AF_INET &&
            ntohs(peer.sin_port) == port)
            return ::dup(fd);
    }
    return -1;
}

std::uint64_t acknowledgedBytes(int fd)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 ? info.tcpi_bytes_acked : 0;
}

// The bytes handed to the connection's TCP so far, acknowledged or still
// queued. Bytes acknowledged between the two reads would be missed, so the
// reading counts only when no acknowledgement came between them.
std::uint64_t handedToTcp(int fd)
{
    for (;;) {
        const std::uint64_t acknowledged = acknowledgedBytes(fd);
        int queued = 0;
        if (::ioctl(fd, SIOCOUTQ, &queued) != 0)
            return 0;
        if (acknowledgedBytes(fd) == acknowledged)
            return acknowledged + static_cast<std::uint64_t>(queued);
    }
}

// A printer that keeps up never makes a write wait, so Cancel is looked at
// before each ticket: past what the stream had handed to TCP when Cancel
// was pressed comes the ticket being written, not the rest of a batch (a
// 64 KB batch holds fifty).
TEST(PrintStream, CancelAtAPrinterThatKeepsUpStopsAtTheNextTicket)
{
    const std::vector<std::string> tickets = mixedTickets(20'000);
    std::vector<std::uint64_t> ends;  // of each ticket, counted from the run's first byte
    for (std::uint64_t end = 0; const std::string& ticket : tickets)
        ends.push_back(end += ticket.size());
    const auto wholeWithin = [&](std::uint64_t bytes) {
        return static_cast<int>(std::upper_bound(ends.begin(), ends.end(), bytes) - ends.begin());
    };
    for (int run = 0; run < 15; ++run) {
        LoopbackPrinter printer;
        const int port = std::stoi(printer.address().substr(printer.address().rfind(':') + 1));
        auto progress = std::make_shared<PrintProgress>();
        MessageList messages;
        std::jthread printing(
            [&] { printOnSocket({printer.address(), PrinterKind::Epson, {}}, tickets, progress, messages); });
        int connection = -1;
        while ((connection = connectionTo(port)) < 0)
            std::this_thread::yield();
        const std::uint64_t cancelAt = 100'000 + static_cast<std::uint64_t>(run) * 30'000;
        while (handedToTcp(connection) < cancelAt)
            std::this_thread::yield();
        progress->cancel();
        const std::uint64_t handed = handedToTcp(connection);
        printing.join();
        ::close(connection);

        const std::string received = printer.received();
        const int whole = wholeWithin(received.size());
        ASSERT_EQ(received.size(), bytesOfFirst(tickets, whole)) << "the printer holds part of a ticket";
        ASSERT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(messages.shown[0].text,
                  "Printing cancelled: " + std::to_string(whole) + " of 20000 tickets were sent.");
        EXPECT_LE(whole - wholeWithin(handed), 1) << "tickets written after Cancel, " << handed << " bytes in";
    }
}

// Records a batch only when the stream must wait for it, as a journal far
// behind would, and notes how many tickets were told and not yet written.
class LaggingRecorder : public PrintObserver {
public:
    void writing(std::shared_ptr<const TicketBatch> batch) override
    {
        told_ = batch->first + static_cast<int>(batch->tickets());
        toldBytes += batch->bytes.size();
        mostAhead = std::max(mostAhead, told_ - confirmed_);
    }
    Recorded recorded(int tickets, bool wait) override
    {
        if (!wait)
            return Recorded::NotYet;
        recordedUpTo = std::max(recordedUpTo, tickets);
        return Recorded::Yes;
    }
    void confirmed(int count) override { confirmed_ = count; }
    void ended(PrintOutcome, int, int, const std::string&) override {}

    int mostAhead = 0;
    std::size_t toldBytes = 0;
    int recordedUpTo = 0;  // the tickets said to be recorded

private:
    int told_ = 0;
    int confirmed_ = 0;
};

// Tickets told to the journal and not yet written are in doubt should the
// program die, so how far the stream runs ahead of the printer is bounded,
// in tickets for labels and in bytes for large pages.
TEST(PrintStream, TheTicketsRecordedAheadOfThePrinterAreBounded)
{
    for (const std::size_t ticketSize : {1'000u, 20'000u}) {
        PrinterSettings printer;
        printer.name = "preview:";  // in memory: never slow, so the stream runs ahead
        MessageList messages;
        LaggingRecorder recorder;
        PrintStream output(printer, nullptr);
        output.setObserver(&recorder);
        ASSERT_TRUE(output.open(messages));
        output.begin(400, TicketUnit::Tickets);
        const std::string ticket(ticketSize, 'x');
        for (int i = 0; i < 400; ++i)
            ASSERT_TRUE(output.send(ticket, messages));
        ASSERT_TRUE(output.finish(messages));
        const auto perBatch = static_cast<int>(PrintStream::fileBatchBytes / ticketSize + 1);
        const auto byBytes = static_cast<int>(PrintStream::bytesAhead / ticketSize);
        EXPECT_LE(recorder.mostAhead, std::min(PrintStream::ticketsAhead, byBytes) + 2 * perBatch)
            << "tickets of " << ticketSize << " bytes";
    }
}

// To a network printer, what is told and not acknowledged (in doubt, were
// the program to die) stays within the flight bound, also while the journal
// lags behind, and nothing is written before its record: here until a
// printer that stops reading stalls the run.
TEST(PrintStream, TheTicketsRecordedAheadOfANetworkPrinterStayWithinTheFlightBound)
{
    LoopbackPrinter printer({.statusReply = {}, .reads = false});
    PrinterSettings settings;
    settings.name = printer.address();
    settings.kind = PrinterKind::Epson;
    settings.limits.stallTimeout = 300ms;
    MessageList messages;
    LaggingRecorder recorder;
    PrintStream output(settings, nullptr);
    output.setObserver(&recorder);
    ASSERT_TRUE(output.open(messages)) << messages.shown.at(0).text;
    const std::vector<std::string> tickets = mixedTickets(1714);
    output.begin(static_cast<int>(tickets.size()), TicketUnit::Tickets);
    for (const std::string& ticket : tickets)
        if (!output.send(ticket, messages))
            break;
    EXPECT_GT(recorder.toldBytes, printer.taken()) << "the printer took the whole run";
    EXPECT_LE(recorder.toldBytes, printer.taken() + PrinterDestination::inFlight);
    EXPECT_LE(printer.taken(), bytesOfFirst(tickets, recorder.recordedUpTo)) << "written before its record";
}

}  // namespace
