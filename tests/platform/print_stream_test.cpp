#include "platform/print_stream.h"

#include "tests/fixtures/data_source.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <sys/resource.h>

namespace {

// Prints twenty tickets of 1,000 bytes to path in a process whose files may
// not grow past fileSize bytes; writes the messages to stderr and exits with
// the number of tickets the stream counted as sent.
[[noreturn]] void printTwentyTicketsWithin(const std::string& path, rlim_t fileSize)
{
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{fileSize, fileSize};
    setrlimit(RLIMIT_FSIZE, &limit);
    PrinterSettings printer;
    printer.pname = path;
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

}  // namespace
