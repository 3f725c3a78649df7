// Print runs to the printers PRINTER= can name: a network printer of the
// test's own on 127.0.0.1, a queue of the throwaway CUPS scheduler that
// scripts/test starts, a slow FIFO and the preview.

#include "printing/print_stream.h"
#include "tests/fixtures/fifo_reader.h"
#include "tests/fixtures/loopback_printer.h"
#include "tests/fixtures/main_window_fixture.h"

#include <QProgressDialog>
#include <QPushButton>

#include <cstdlib>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;

const std::string healthy = LoopbackPrinter::hostStatus('0', '0', '0', '0');

class PrintDestinations : public MainWindowTest {
protected:
    void startLocated(const std::string& printerType = "ZEBRA")
    {
        start(printerType);
        printer().limits.stallTimeout = 500ms;
        printer().limits.statusTimeout = 500ms;
        locate("12345");
        ASSERT_TRUE(messages.shown.empty());
    }

    // The bytes of the same run to the printer file.
    std::string fileOutput(const QString& operation, const QString& quantity)
    {
        const std::string configured = printer().name;
        const bool extraLine = window->commands().printer().extraLine;
        printer().name = printerFile();
        print(operation, quantity);
        window->commands().printer().extraLine = extraLine;
        printer().name = configured;
        return printed();
    }

    // K of "K of M ... were sent." in the one message shown.
    int sentCount(const std::string& total, const std::string& unit)
    {
        EXPECT_EQ(messages.shown.size(), 1u);
        if (messages.shown.empty())
            return -1;
        std::smatch match;
        const std::string& text = messages.shown[0].text;
        // A network printer's dropped connection is said after the count.
        const std::string dropped = "(\n[0-9]+ " + unit + " reached the printer; the printer dropped the connection, so "
                                    "any of them may be lost\\.)?";
        if (!std::regex_search(text, match, std::regex("\n([0-9]+) of " + total + " " + unit + " were sent\\." +
                                                           dropped + "$")))
            ADD_FAILURE() << text;
        return match.empty() ? -1 : std::stoi(match[1]);
    }
};

TEST_F(PrintDestinations, ANetworkPrinterReceivesTheBytesOfTheFileAfterTheStatusRequest)
{
    startLocated();
    const std::string expected = fileOutput("All", "2");
    LoopbackPrinter network({.statusReply = healthy});
    printer().name = network.address();
    print("All", "2");
    EXPECT_TRUE(messages.shown.empty()) << messages.shown.front().text;
    const std::string received = network.received();
    EXPECT_TRUE(received.starts_with("~HS"));
    EXPECT_EQ(withoutStatusRequests(received), expected);
}

struct StatusCase {
    const char* name;
    std::optional<std::string> reply;
    const char* message;  // after "The printer NAME"
};

void PrintTo(const StatusCase& c, std::ostream* out) { *out << c.name; }

class ZebraStatusCheck : public PrintDestinations, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ZebraStatusCheck, StopsTheRunBeforeAnyTicketIsSent)
{
    startLocated();
    LoopbackPrinter network({.statusReply = GetParam().reply});
    printer().name = network.address();
    print("All", "1");
    EXPECT_THAT(messages.shown, ElementsAre(RecordedMessage{"The printer " + network.address() +
                                                                GetParam().message,
                                                            MessageIcon::Warning}));
    EXPECT_EQ(network.received(), "~HS");
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ZebraStatusCheck,
    ::testing::Values(
        StatusCase{"PaperOut", LoopbackPrinter::hostStatus('1', '0', '0', '0'), " reports: paper out"},
        StatusCase{"HeadOpen", LoopbackPrinter::hostStatus('0', '0', '1', '0'), " reports: head open"},
        StatusCase{"Paused", LoopbackPrinter::hostStatus('0', '1', '0', '0'), " reports: paused"},
        StatusCase{"Nothing", std::nullopt, " is not responding."},
        StatusCase{"Garbage", std::string("HTTP/1.0 400 Bad Request\r\n\r\n"),
                   " gave a status answer that could not be read."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PrintDestinations, AClosedPortIsNotAvailable)
{
    startLocated();
    printer().name = "socket://127.0.0.1:" + std::to_string(LoopbackPrinter::closedPort());
    print("All", "1");
    EXPECT_THAT(messages.texts(),
                ElementsAre("The printer " + printer().name + " is not available.\nConnection refused."));
}

TEST_F(PrintDestinations, APrinterThatStopsReadingEndsTheRunWithTheCount)
{
    startLocated("EPSON");
    LoopbackPrinter network({.statusReply = {}, .reads = false});
    printer().name = network.address();
    print("All", "250");  // megabytes more than the connection holds
    const int sent = sentCount("1000", "pages");
    EXPECT_GE(sent, 0);
    EXPECT_LT(sent, 20) << "pages left queued on this side are not counted as sent";
    EXPECT_THAT(messages.shown[0].text,
                ::testing::StartsWith("The printer " + network.address() + " is not available.\n"));
}

TEST_F(PrintDestinations, APrinterThatClosesPartWayEndsTheRunWithTheCount)
{
    startLocated("EPSON");
    const std::string whole = fileOutput("All", "500");
    LoopbackPrinter network({.statusReply = {}, .reads = true, .closeAfter = 40'000});
    printer().name = network.address();
    print("All", "500");  // more than the connection's buffers hold
    // The count can only go by what the printer's side acknowledged, which
    // may include bytes it dropped unread when it closed.
    const int sent = sentCount("2000", "pages");
    EXPECT_GE(sent, 0);
    EXPECT_LT(sent, 2000);
    EXPECT_EQ(network.received(), whole.substr(0, 40'000));
}

// A raw queue of the throwaway scheduler, removed again when the test ends.
class CupsQueue {
public:
    explicit CupsQueue(const std::string& device)
        : name_("travcard_" + std::to_string(::getpid()) + "_" + std::to_string(++made_))
    {
        ok_ = lpadmin("-p " + name_ + " -E -v " + device + " -m raw");
    }
    ~CupsQueue() { lpadmin("-x " + name_); }
    const std::string& name() const { return name_; }
    bool ok() const { return ok_; }

private:
    static bool lpadmin(const std::string& arguments)
    {
        return std::system(("lpadmin " + arguments + " 2>/dev/null").c_str()) == 0;
    }
    static inline int made_ = 0;
    std::string name_;
    bool ok_ = false;
};

TEST_F(PrintDestinations, ACupsQueueDeliversTheRunByteForByteAndAnUnknownQueueIsNotAvailable)
{
    if (!std::getenv("CUPS_SERVER"))
        GTEST_SKIP() << "no throwaway CUPS scheduler (scripts/test starts one)";
    startLocated();
    const std::string expected = fileOutput("All", "2");
    LoopbackPrinter network;
    const CupsQueue queue(network.address());
    ASSERT_TRUE(queue.ok());
    printer().name = "cups:" + queue.name();
    print("All", "2");
    EXPECT_TRUE(messages.shown.empty()) << messages.shown.front().text;
    EXPECT_EQ(network.received(30s), expected);

    printer().name = "cups:" + queue.name() + "_none";
    print("All", "2");
    EXPECT_THAT(messages.texts(), ElementsAre("The printer " + printer().name +
                                              " is not available.\nNo CUPS queue named " + queue.name() + "_none."));
}

// A job the scheduler has not completed counts nothing; one cancelled
// part-way is submitted with the whole tickets written, which count once the
// scheduler has completed it.
TEST_F(PrintDestinations, ACancelledCupsJobIsSubmittedWithItsWholeTicketsAndCountsThemOnlyThen)
{
    if (!std::getenv("CUPS_SERVER"))
        GTEST_SKIP() << "no throwaway CUPS scheduler (scripts/test starts one)";
    LoopbackPrinter network;
    const CupsQueue queue(network.address());
    ASSERT_TRUE(queue.ok());
    auto progress = std::make_shared<PrintProgress>();
    PrintStream output({"cups:" + queue.name(), PrinterKind::Epson, {}}, progress);
    ASSERT_TRUE(output.open(messages));
    output.begin(300, TicketUnit::Pages);
    const std::string page(1000, 'p');
    // The page that fills the first batch writes it.
    const int written = static_cast<int>(PrintStream::fileBatchBytes / page.size()) + 1;
    for (int i = 0; i < written; ++i)
        ASSERT_TRUE(output.send(page, messages));
    EXPECT_EQ(progress->sent(), 0) << "counted before the scheduler took the job";
    progress->cancel();
    EXPECT_FALSE(output.send(page, messages));
    EXPECT_EQ(output.ticketsSent(), written);
    EXPECT_THAT(messages.texts(), ElementsAre("Printing cancelled: " + std::to_string(written) + " of 300 pages were sent."));
    std::string whole;
    for (int i = 0; i < written; ++i)
        whole += page;
    EXPECT_EQ(network.received(30s), whole);
}

TEST_F(PrintDestinations, CancelStopsAtAPageBoundaryAndCountsThePagesSent)
{
    startLocated("EPSON");
    printer().limits.stallTimeout = 60s;
    ASSERT_EQ(mkfifo(printerFile().c_str(), 0600), 0);
    FifoReader reader(printerFile(), 0);
    ASSERT_TRUE(reader.isOpen());
    window->cmbOper->setCurrentText("20");
    window->txtQty->setText("100");
    window->cmdPrint->click();
    const QDeadlineTimer deadline(10'000);
    while (!(window->printProgress() && window->printProgress()->dialog()) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    ASSERT_TRUE(window->printProgress() && window->printProgress()->dialog());
    EXPECT_THAT(window->printProgress()->dialog()->labelText().toStdString(),
                MatchesRegex("Printing page [0-9]+ of 100"));
    window->printProgress()->dialog()->findChild<QPushButton*>()->click();
    reader.setRate(1 << 16);
    waitForCommand();
    const std::string received = reader.finish();
    ASSERT_EQ(messages.shown.size(), 1u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(messages.shown[0].text, match,
                                 std::regex("Printing cancelled: ([0-9]+) of 100 pages were sent\\.")))
        << messages.shown[0].text;
    const std::string sent = match[1];
    ASSERT_GT(std::stoi(sent), 0);
    messages.shown.clear();

    window->commands().printer().extraLine = false;
    ASSERT_EQ(::unlink(printerFile().c_str()), 0);
    EXPECT_EQ(received, fileOutput("20", QString::fromStdString(sent))) << "whole pages only";
}

TEST_F(PrintDestinations, APreviewRunHandsItsBytesToTheWindow)
{
    startLocated();
    const std::string expected = fileOutput("All", "2");
    std::optional<std::pair<std::string, bool>> shown;
    window->previewHandler = [&](const std::string& bytes, bool zebra) { shown.emplace(bytes, zebra); };
    printer().name = "preview:";
    print("All", "2");
    EXPECT_TRUE(messages.shown.empty());
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->first, expected);
    EXPECT_TRUE(shown->second);
    EXPECT_FALSE(std::filesystem::exists("preview:"));
}

}  // namespace
