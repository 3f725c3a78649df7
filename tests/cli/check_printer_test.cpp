// travcard check-printer as a script runs it: the real program, with no
// display and no database, against loopback network printers, paths and
// (where scripts/test started one) queues of the throwaway CUPS scheduler.
// It must answer whether the printer can take a job and send none.

#include "tests/fixtures/fifo_reader.h"
#include "tests/fixtures/loopback_printer.h"
#include "tests/fixtures/travcard_program.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

struct Answered {
    int status = -1;
    std::string err;
    QJsonObject json;
};

class CheckPrinter : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "check_printer_tests";
            static char* argv[] = {name, nullptr};
            static QCoreApplication app(argc, argv);
        }
        programDir = std::make_unique<ScratchDir>();
        installProgram(*programDir, "PRINTER=" + programDir->file("default.out") + "\r\nPRTTYPE=ZEBRA\r\n");
    }
    static void TearDownTestSuite() { programDir.reset(); }

    // travcard check-printer --printer printer, and arguments, with --json.
    Answered check(const std::string& printer, const QStringList& arguments = {})
    {
        QProcess program;
        startWithoutDisplay(program, programDir->file("travcard"),
                            QStringList{"check-printer", "--printer", QString::fromStdString(printer), "--json"} +
                                arguments,
                            dir.path());
        EXPECT_TRUE(program.waitForFinished(60'000));
        Answered answered{program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1,
                          program.readAllStandardError().toStdString(),
                          QJsonDocument::fromJson(program.readAllStandardOutput()).object()};
        return answered;
    }

    static std::vector<std::string> messagesOf(const QJsonObject& json)
    {
        std::vector<std::string> texts;
        for (const QJsonValue& text : json["messages"].toArray())
            texts.push_back(text.toString().toStdString());
        return texts;
    }

    // Each message on a line of its own, as standard error has them.
    static std::string linesOf(const std::vector<std::string>& messages)
    {
        std::string lines;
        for (const std::string& message : messages)
            lines += message + "\n";
        return lines;
    }

    ScratchDir dir;
    static std::unique_ptr<ScratchDir> programDir;
};

std::unique_ptr<ScratchDir> CheckPrinter::programDir;

struct ZebraCase {
    const char* name;
    std::optional<std::string> statusReply;
    int status;
    const char* reason;
    std::vector<std::string> reasonLines;  // after "The printer NAME is ..."
    std::optional<bool> paperOut;          // none: no flags in the answer
    std::optional<std::pair<int, int>> buffer;  // formats and labels; none: no counts in the answer
};

// A ready printer's answer with formats in its buffer and labels to print,
// as the printer writes the counts (3 and 8 digits).
std::string hostStatusHolding(const std::string& formats, const std::string& labels)
{
    return "\x02" "030,0,0,1245," + formats + ",0,0,0,000,0,0,0\x03\r\n"
           "\x02" "001,0,0,0,1,2,6,0," + labels + ",1,000\x03\r\n"
           "\x02" "1234,0\x03\r\n";
}

std::string bufferLine(int formats, int labels)
{
    return "Formats waiting in the printer: " + std::to_string(formats) +
           "; labels remaining: " + std::to_string(labels) + ".";
}

void PrintTo(const ZebraCase& c, std::ostream* out) { *out << c.name; }

class CheckNetworkZebra : public CheckPrinter, public ::testing::WithParamInterface<ZebraCase> {};

// The printer gets the status request and nothing else; the answer names
// the faults and what the printer still holds, and the JSON object carries
// the flags and counts the printer sent.
TEST_P(CheckNetworkZebra, AsksForTheStatusAndSendsNoJob)
{
    const ZebraCase& expected = GetParam();
    LoopbackPrinter printer({.statusReply = expected.statusReply});
    const Answered answered = check(printer.address());
    EXPECT_EQ(answered.status, expected.status) << answered.err;
    const std::string first =
        "The printer " + printer.address() + (expected.status == 0 ? " is ready." : " is not ready.");
    std::vector<std::string> messages{first};
    messages.insert(messages.end(), expected.reasonLines.begin(), expected.reasonLines.end());
    EXPECT_EQ(messagesOf(answered.json), messages);
    EXPECT_EQ(answered.err, linesOf(messages));
    EXPECT_EQ(answered.json["reason"].toString().toStdString(), expected.reason);
    EXPECT_EQ(answered.json["exit_status"].toInt(), expected.status);
    EXPECT_EQ(answered.json["ready"].toBool(false), expected.status == 0);
    EXPECT_EQ(answered.json["printer"].toString().toStdString(), printer.address());
    EXPECT_EQ(answered.json["type"].toString(), "zebra");
    if (expected.paperOut) {
        EXPECT_EQ(answered.json["paper_out"].toBool(!*expected.paperOut), *expected.paperOut);
        for (const char* flag : {"head_open", "ribbon_out", "paused"})
            EXPECT_EQ(answered.json[flag].toBool(true), false) << flag;
    } else {
        for (const char* flag : {"paper_out", "head_open", "ribbon_out", "paused"})
            EXPECT_FALSE(answered.json.contains(flag)) << flag;
    }
    if (expected.buffer) {
        EXPECT_EQ(answered.json["formats_in_buffer"].toInt(-1), expected.buffer->first);
        EXPECT_EQ(answered.json["labels_remaining"].toInt(-1), expected.buffer->second);
    } else {
        for (const char* count : {"formats_in_buffer", "labels_remaining"})
            EXPECT_FALSE(answered.json.contains(count)) << count;
    }
    EXPECT_EQ(printer.received(10s), "~HS");
}

INSTANTIATE_TEST_SUITE_P(
    Printers, CheckNetworkZebra,
    ::testing::Values(ZebraCase{"Healthy", LoopbackPrinter::hostStatus('0', '0', '0', '0'), 0, "ready",
                                {bufferLine(0, 0)}, false, std::pair{0, 0}},
                      ZebraCase{"PaperOut", LoopbackPrinter::hostStatus('1', '0', '0', '0'), 4, "printer_not_ready",
                                {"The printer reports: paper out.", bufferLine(0, 0)}, true, std::pair{0, 0}},
                      ZebraCase{"Holding", hostStatusHolding("003", "00000012"), 0, "ready", {bufferLine(3, 12)},
                                false, std::pair{3, 12}},
                      ZebraCase{"UnreadableCounts", hostStatusHolding("0x3", "00000012"), 0, "ready", {}, false,
                                std::nullopt},
                      ZebraCase{"Silent", std::nullopt, 4, "printer_not_ready",
                                {"The printer did not answer its status request."}, std::nullopt, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CheckPrinter, ANetworkEpsonPrinterIsReadyWhenItTakesTheConnection)
{
    LoopbackPrinter printer;
    const Answered answered = check(printer.address(), {"--type", "epson"});
    EXPECT_EQ(answered.status, 0) << answered.err;
    EXPECT_EQ(answered.err, "The printer " + printer.address() + " is ready.\n");
    EXPECT_EQ(answered.json["type"].toString(), "epson");
    EXPECT_FALSE(answered.json.contains("paper_out"));
    EXPECT_EQ(printer.received(10s), "");
}

TEST_F(CheckPrinter, ANetworkPrinterThatRefusesTheConnectionIsNotAvailable)
{
    const std::string address = "socket://127.0.0.1:" + std::to_string(LoopbackPrinter::closedPort());
    const Answered answered = check(address);
    EXPECT_EQ(answered.status, 4);
    EXPECT_EQ(answered.err, "The printer " + address + " is not available.\nConnection refused.\n");
    EXPECT_EQ(answered.json["reason"].toString(), "printer_unavailable");
    EXPECT_FALSE(answered.json["ready"].toBool(true));
}

// A path is checked as printing opens it, but nothing is created,
// truncated or written.
TEST_F(CheckPrinter, APathIsReadyWhenItOpensForWritingAndIsLeftAsItWas)
{
    dir.write("lp", "kept");
    for (const std::string& path : {dir.file("lp"), dir.file("new.prn")}) {
        const Answered answered = check(path);
        EXPECT_EQ(answered.status, 0) << answered.err;
        EXPECT_EQ(answered.err, "The printer " + path + " is ready.\n");
        EXPECT_EQ(answered.json["reason"].toString(), "ready");
    }
    EXPECT_EQ(dir.read("lp"), "kept");
    EXPECT_FALSE(std::filesystem::exists(dir.file("new.prn")));
}

TEST_F(CheckPrinter, AMissingPathOrAFifoThatNobodyReadsIsNotAvailable)
{
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    struct Case {
        std::string path;
        std::string reason;
    };
    for (const Case& unavailable : {Case{dir.file("no-such-folder/lp"), "No such file or directory."},
                                    Case{"/dev/travcard-test-no-such-printer", "No such file or directory."},
                                    Case{dir.file("fifo"), "No program read from it within 2 seconds."}}) {
        const Answered answered = check(unavailable.path);
        EXPECT_EQ(answered.status, 4) << answered.err;
        EXPECT_EQ(answered.err, "The printer " + unavailable.path + " is not available.\n" + unavailable.reason + "\n");
        EXPECT_EQ(answered.json["reason"].toString(), "printer_unavailable");
        EXPECT_FALSE(answered.json["ready"].toBool(true));
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("no-such-folder")));
    EXPECT_FALSE(std::filesystem::exists("/dev/travcard-test-no-such-printer"));

    // With a reader, the FIFO is ready.
    const FifoReader reader(dir.file("fifo"), 1 << 16);
    ASSERT_TRUE(reader.isOpen());
    EXPECT_EQ(check(dir.file("fifo")).status, 0);
}

TEST_F(CheckPrinter, ThePreviewIsReadyAndAnUnknownTypeIsABadOption)
{
    const Answered preview = check("preview:");
    EXPECT_EQ(preview.status, 0);
    EXPECT_EQ(preview.err, "The printer preview: is ready.\n");

    const Answered laser = check("preview:", {"--type", "laser"});
    EXPECT_EQ(laser.status, 1);
    EXPECT_EQ(laser.json["reason"].toString(), "bad_option");
}

// A raw queue of the throwaway scheduler that scripts/test starts, removed
// again when the test ends.
class Queue {
public:
    explicit Queue(const std::string& name) : name_(name + "_" + std::to_string(::getpid()))
    {
        ok_ = run("lpadmin -p " + name_ + " -E -v socket://127.0.0.1:9 -m raw");
    }
    ~Queue() { run("lpadmin -x " + name_); }
    const std::string& name() const { return name_; }
    bool ok() const { return ok_; }
    static bool run(const std::string& command) { return std::system((command + " 2>/dev/null").c_str()) == 0; }

private:
    std::string name_;
    bool ok_ = false;
};

TEST_F(CheckPrinter, ACupsQueueIsReadyWhileItAcceptsJobsAndNotWhenStoppedRejectingOrMissing)
{
    if (!std::getenv("CUPS_SERVER"))
        GTEST_SKIP() << "no throwaway CUPS scheduler (scripts/test starts one)";
    const Queue accepting("travcard_ready");
    const Queue stopped("travcard_stopped");
    const Queue rejecting("travcard_rejecting");
    ASSERT_TRUE(accepting.ok() && stopped.ok() && rejecting.ok());
    ASSERT_TRUE(Queue::run("cupsdisable -r 'Out of labels' " + stopped.name()));
    ASSERT_TRUE(Queue::run("cupsreject " + rejecting.name()));

    const Answered ready = check("cups:" + accepting.name());
    EXPECT_EQ(ready.status, 0) << ready.err;
    EXPECT_EQ(ready.err, "The printer cups:" + accepting.name() + " is ready.\n");
    EXPECT_EQ(ready.json["state"].toString(), "idle");
    EXPECT_TRUE(ready.json["accepting_jobs"].toBool(false));
    EXPECT_EQ(ready.json["reasons"].toArray(), QJsonArray());

    const Answered halted = check("cups:" + stopped.name());
    EXPECT_EQ(halted.status, 4);
    EXPECT_EQ(halted.json["reason"].toString(), "printer_not_ready");
    EXPECT_EQ(halted.json["state"].toString(), "stopped");
    EXPECT_EQ(halted.json["reasons"].toArray(), QJsonArray{"paused"});
    EXPECT_EQ(halted.err, "The printer cups:" + stopped.name() + " is not ready.\nThe CUPS queue " + stopped.name() +
                              " is stopped.\nCUPS says: Out of labels.\nCUPS gives the reasons: paused.\n");

    const Answered refusing = check("cups:" + rejecting.name());
    EXPECT_EQ(refusing.status, 4);
    EXPECT_EQ(refusing.json["reason"].toString(), "printer_not_ready");
    EXPECT_FALSE(refusing.json["accepting_jobs"].toBool(true));
    EXPECT_THAT(refusing.err, ::testing::StartsWith("The printer cups:" + rejecting.name() +
                                                    " is not ready.\nThe CUPS queue " + rejecting.name() +
                                                    " does not accept jobs.\n"));

    const Answered missing = check("cups:" + accepting.name() + "_none");
    EXPECT_EQ(missing.status, 4);
    EXPECT_EQ(missing.json["reason"].toString(), "printer_unavailable");
    EXPECT_EQ(missing.err, "The printer cups:" + accepting.name() + "_none is not available.\nNo CUPS queue named " +
                               accepting.name() + "_none.\n");
}

}  // namespace
