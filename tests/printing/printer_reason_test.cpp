// The reason that follows "The printer NAME is not available.": one line
// in the operator's words, before the count of a run that stopped
// part-way. The printers are loopback sockets of the test's own, names that
// never resolve (.invalid), FIFOs, missing folders and /dev/full, with the
// time limits shortened.

#include "printing/print_stream.h"
#include "printing/zebra_status.h"

#include "tests/fixtures/data_source.h"
#include "tests/fixtures/loopback_printer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <regex>
#include <sstream>

#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;

// Where a situation prints; the loopback printer, when it has one, lives as long as the run.
struct Printer {
    std::string name;
    std::unique_ptr<LoopbackPrinter> loopback;
};

struct Situation {
    const char* name;
    PrinterKind kind;
    std::function<Printer(const ScratchDir&)> printer;
    std::function<std::string(const Printer&)> reason;
    bool partWay;  // the run began: the count follows the reason
};

void PrintTo(const Situation& situation, std::ostream* out) { *out << situation.name; }

Printer loopback(LoopbackPrinter::Behaviour behaviour)
{
    auto printer = std::make_unique<LoopbackPrinter>(std::move(behaviour));
    return {printer->address(), std::move(printer)};
}

std::function<std::string(const Printer&)> says(std::string reason)
{
    return [reason](const Printer&) { return reason; };
}

const std::string healthy = LoopbackPrinter::hostStatus('0', '0', '0', '0');

const Situation situations[] = {
    {"Refused", PrinterKind::Zebra,
     [](const ScratchDir&) {
         return Printer{"socket://127.0.0.1:" + std::to_string(LoopbackPrinter::closedPort()), nullptr};
     },
     says("Connection refused."), false},
    {"Reset", PrinterKind::Zebra,
     [](const ScratchDir&) { return loopback({.statusReply = healthy, .closeAfter = 20'000}); },
     says("The printer reset the connection."), true},
    {"ResetWithItsQueueFull", PrinterKind::Epson,
     [](const ScratchDir&) { return loopback({.statusReply = {}, .closeAfter = 20'000, .resetsAtOnce = true}); },
     says("The printer reset the connection."), true},
    {"Stall", PrinterKind::Epson, [](const ScratchDir&) { return loopback({.statusReply = {}, .reads = false}); },
     says("The printer took nothing for 300 milliseconds."), true},
    {"UnknownHost", PrinterKind::Zebra, [](const ScratchDir&) { return Printer{"socket://zebra-9.invalid", nullptr}; },
     says("No host named zebra-9.invalid."), false},
    {"UnknownPort", PrinterKind::Zebra,
     [](const ScratchDir&) { return Printer{"socket://127.0.0.1:no-such-port", nullptr}; },
     says("No port named no-such-port."), false},
    {"MissingFolder", PrinterKind::Zebra,
     [](const ScratchDir& dir) { return Printer{dir.file("no-such-folder/lp"), nullptr}; },
     says("No such file or directory."), false},
    {"FifoWithoutReader", PrinterKind::Zebra,
     [](const ScratchDir& dir) {
         EXPECT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
         return Printer{dir.file("fifo"), nullptr};
     },
     says("No program read from it within 200 milliseconds."), false},
    {"FullDevice", PrinterKind::Epson, [](const ScratchDir&) { return Printer{"/dev/full", nullptr}; },
     says("No space left on device."), true},
    {"NoPrinterNamed", PrinterKind::Zebra, [](const ScratchDir&) { return Printer{"", nullptr}; },
     says("No printer is named."), false},
};

class PrinterNotAvailable : public ::testing::TestWithParam<Situation> {};

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST_P(PrinterNotAvailable, GivesTheReasonOnTheLineAfterTheFixedOneAndBeforeTheCount)
{
    const Situation& situation = GetParam();
    ScratchDir dir;
    const Printer printer = situation.printer(dir);
    PrinterSettings settings{printer.name, situation.kind, {}};
    settings.limits.openTimeout = 200ms;
    settings.limits.stallTimeout = 300ms;
    settings.limits.statusTimeout = 2s;
    MessageList messages;
    PrintStream output(settings, nullptr);
    constexpr int total = 300;  // of 1,000 bytes: more than a connection holds unacknowledged
    const auto began = std::chrono::steady_clock::now();
    if (output.open(messages)) {
        output.begin(total, TicketUnit::Tickets);
        const std::string ticket(1000, 'x');
        bool going = true;
        for (int i = 0; i < total && going; ++i)
            going = output.send(ticket, messages);
        if (going)
            output.finish(messages);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - began, 10s);
    ASSERT_EQ(messages.shown.size(), 1u);
    const std::vector<std::string> lines = linesOf(messages.shown[0].text);
    // A network printer whose connection broke may have dropped what it acknowledged: the last line says so.
    const bool dropped = situation.partWay && printer.name.starts_with("socket://") && output.ticketsSent() > 0;
    ASSERT_EQ(lines.size(), (situation.partWay ? 3u : 2u) + dropped) << messages.shown[0].text;
    EXPECT_EQ(lines[0], "The printer " + printer.name + " is not available.");
    EXPECT_EQ(lines[1], situation.reason(printer));
    if (situation.partWay) {
        EXPECT_THAT(lines[2], ::testing::MatchesRegex("[0-9]+ of 300 tickets were sent\\."));
        EXPECT_LT(output.ticketsSent(), total);
    }
    if (dropped) {
        EXPECT_EQ(lines[3], std::to_string(output.ticketsSent()) +
                                " tickets reached the printer; the printer dropped the connection, so any of them "
                                "may be lost.");
    }
}

INSTANTIATE_TEST_SUITE_P(Situations, PrinterNotAvailable, ::testing::ValuesIn(situations),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PrinterNotAvailableText, TheReasonFollowsOnTheNextLineAndAReplacingTextStandsAlone)
{
    EXPECT_EQ(printerNotAvailable("lp", "Permission denied."), "The printer lp is not available.\nPermission denied.");
    EXPECT_EQ(printerNotAvailable("lp", PrinterError("open lp: Permission denied", "Permission denied.")),
              "The printer lp is not available.\nPermission denied.");
    EXPECT_EQ(printerNotAvailable("lp", PrinterError("detail only")), "The printer lp is not available.");
    EXPECT_EQ(printerNotAvailable("lp", PrinterError::replacingMessage("cap", "The preview is full.")),
              "The preview is full.");
    EXPECT_EQ(destinations::tookNothingFor(30s), "The printer took nothing for 30 seconds.");
    EXPECT_EQ(destinations::durationInWords(1s), "1 second");
    EXPECT_EQ(destinations::durationInWords(2500ms), "2500 milliseconds");
}

}  // namespace
