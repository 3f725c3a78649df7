#include "printing/print_stream.h"

#include "tests/fixtures/data_source.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <poll.h>
#include <regex>
#include <sys/resource.h>
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
                "is not available\\.\n10 of 20 tickets were sent\\.\n$");
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

}  // namespace
