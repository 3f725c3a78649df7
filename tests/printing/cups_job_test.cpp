// cups: runs followed to the end of their CUPS job, on queues of the
// throwaway scheduler that scripts/test starts: a job the scheduler completes
// confirms its tickets; one whose printer fails, or one still waiting when
// the run ends, leaves them in doubt, until a later look finds it completed.

#include "exactly_once/cups_runs.h"
#include "exactly_once/journal_recorder.h"
#include "journal/journal.h"
#include "printing/print_stream.h"

#include "tests/fixtures/data_source.h"
#include "tests/fixtures/loopback_printer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

bool shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A raw queue of the throwaway scheduler, removed with its jobs when the test ends.
class CupsQueue {
public:
    explicit CupsQueue(const std::string& device, const std::string& options = {})
        : name_("travcard_jobs_" + std::to_string(::getpid()) + "_" + std::to_string(++made_))
    {
        ok_ = shell("lpadmin -p " + name_ + " -E -v " + device + " -m raw " + options);
    }
    ~CupsQueue()
    {
        shell("cancel -a " + name_);
        shell("lpadmin -x " + name_);
    }
    const std::string& name() const { return name_; }
    bool ok() const { return ok_; }

private:
    static inline int made_ = 0;
    std::string name_;
    bool ok_ = false;
};

const std::string ticket = "^XA^FO50,50^FDticket^FS^XZ";
constexpr int tickets = 3;

class CupsJobs : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("CUPS_SERVER"))
            GTEST_SKIP() << "no throwaway CUPS scheduler (scripts/test starts one)";
    }

    // Prints the tickets to the queue, recorded in the journal, as the
    // commands do; whether the run finished.
    bool print(const std::string& queue, std::chrono::milliseconds stallTimeout = 30s)
    {
        PrinterSettings printer{"cups:" + queue, PrinterKind::Zebra, {}};
        printer.limits.stallTimeout = stallTimeout;
        RunRecorder recorder(access_, messages);
        PrintStream output(printer, nullptr);
        if (!output.open(messages))
            return false;
        RunStart start;
        start.printer = printer.name;
        recorder.start(start, {{"10", tickets, "data"}});
        output.setObserver(&recorder);
        output.begin(tickets, TicketUnit::Tickets);
        bool finished = true;
        for (int i = 0; i < tickets && finished; ++i)
            finished = output.send(ticket, messages);
        finished = finished && output.finish(messages);
        run = recorder.runId();
        return finished;
    }

    RunRecord recorded() { return journal().run(run).value_or(RunRecord{}); }
    Journal& journal()
    {
        if (!journal_)
            journal_ = std::make_unique<Journal>(path_);
        return *journal_;
    }

    ScratchDir dir_;
    QString path_ = QString::fromStdString(dir_.file("journal.sqlite"));
    std::shared_ptr<JournalAccess> access_ = std::make_shared<JournalAccess>(path_);
    std::unique_ptr<Journal> journal_;
    MessageList messages;
    std::int64_t run = 0;
};

struct Ending {
    const char* name;
    bool printerWorks;  // else the queue's backend fails the job, which CUPS aborts
    bool finishes;
    int confirmed;
    const char* message;  // a pattern of the run's message
};

void PrintTo(const Ending& ending, std::ostream* out) { *out << ending.name; }

class CupsJobEnding : public CupsJobs, public ::testing::WithParamInterface<Ending> {};

TEST_P(CupsJobEnding, ConfirmsTheTicketsOnlyOnceCupsCompletedTheJob)
{
    const Ending& ending = GetParam();
    LoopbackPrinter printer;
    const CupsQueue queue(ending.printerWorks ? printer.address() : "failing:/",
                          "-o printer-error-policy=abort-job");
    ASSERT_TRUE(queue.ok());
    EXPECT_EQ(print(queue.name()), ending.finishes);
    const RunRecord record = recorded();
    EXPECT_EQ(record.confirmed, ending.confirmed);
    EXPECT_EQ(record.inDoubt, tickets - ending.confirmed);
    EXPECT_THAT(record.message, MatchesRegex(ending.message));
    EXPECT_EQ(settleCupsRuns(journal()), 0) << "an aborted job stays in doubt";
    EXPECT_EQ(recorded().inDoubt, tickets - ending.confirmed);
}

INSTANTIATE_TEST_SUITE_P(
    Cups, CupsJobEnding,
    ::testing::Values(Ending{"Completed", true, true, tickets, ""},
                      Ending{"AbortedByAFailingPrinter", false, false, 0,
                             "CUPS aborted the job \\(job [0-9]+\\); its tickets are in doubt: any of them may have "
                             "printed\\.\nCUPS says: The printer failed\\.\n0 of 3 tickets were sent\\."}),
    [](const auto& info) { return std::string(info.param.name); });

// A stopped queue holds the job past the run's wait; once the queue prints
// it, a later look confirms the run, and a run that sent all it planned is
// printed.
TEST_F(CupsJobs, AJobStillWaitingWhenTheRunEndsIsConfirmedByALaterLookOnceCompleted)
{
    LoopbackPrinter printer;
    const CupsQueue queue(printer.address());
    ASSERT_TRUE(queue.ok());
    ASSERT_TRUE(shell("cupsdisable " + queue.name()));
    const auto began = std::chrono::steady_clock::now();
    EXPECT_FALSE(print(queue.name(), 300ms));
    EXPECT_LT(std::chrono::steady_clock::now() - began, 10s);
    ASSERT_FALSE(messages.shown.empty());
    EXPECT_THAT(messages.shown.back().text,
                MatchesRegex("The job was sent to CUPS \\(job [0-9]+\\) and has not completed yet; its tickets are "
                             "in doubt until it does\\.\n0 of 3 tickets were sent\\."));
    EXPECT_EQ(recorded().inDoubt, tickets);
    EXPECT_EQ(settleCupsRuns(journal()), 0) << "still held";

    ASSERT_TRUE(shell("cupsenable " + queue.name()));
    std::string all;
    for (int i = 0; i < tickets; ++i)
        all += ticket;
    EXPECT_EQ(printer.received(), all);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    int settled = 0;
    while ((settled = settleCupsRuns(journal(), run)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(settled, 1);
    const RunRecord record = recorded();
    EXPECT_EQ(record.confirmed, tickets);
    EXPECT_EQ(record.inDoubt, 0);
    EXPECT_EQ(record.outcome, "printed");
    EXPECT_THAT(record.message, HasSubstr("\nCUPS completed the job (job "));
    EXPECT_EQ(settleCupsRuns(journal()), 0) << "settled once";
}

}  // namespace
