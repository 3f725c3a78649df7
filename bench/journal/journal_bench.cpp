// The print journal alone, as a run of 1,714 Zebra tickets or EPSON pages
// uses it: the run and its planned tickets, a transaction per batch (64 KB
// to a file printer, 32 KB to a network printer) with the tickets' SHA-256,
// synced to the disk, and the end. Each step on its own too, to see where
// the time goes.

#include "exactly_once/journal_recorder.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace {

constexpr int tickets = 1714;

class ScratchJournal {
public:
    ScratchJournal()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "travcard-journal-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a folder for the journal");
        folder_ = pattern;
        keeper_ = std::make_unique<Journal>(path());
    }
    ~ScratchJournal()
    {
        keeper_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    QString path() const { return QString::fromStdString((folder_ / "journal.sqlite").string()); }

private:
    std::filesystem::path folder_;
    std::unique_ptr<Journal> keeper_;
};

std::vector<PlannedTicket> planned()
{
    std::vector<PlannedTicket> all;
    for (int i = 0; i < tickets; ++i)
        all.push_back({std::to_string(5 * i), 1, std::string(110, 'd')});
    return all;
}

// A run of tickets of range(0) bytes (1,256 for a Zebra job, 6,185 for an
// EPSON page) in batches of range(1) bytes.
void wholeRun(benchmark::State& state)
{
    const ScratchJournal scratch;
    const std::vector<PlannedTicket> plan = planned();
    const int ticketBytes = static_cast<int>(state.range(0));
    const int perBatch = static_cast<int>(state.range(1)) / ticketBytes + 1;
    const std::int64_t syncedBefore = Journal::durableCommits();
    const std::string ticket(static_cast<std::size_t>(ticketBytes), 'z');
    for (auto _ : state) {
        Journal journal(scratch.path());
        const std::int64_t run = journal.startRun(RunStart{}, plan);
        for (int first = 0; first < tickets; first += perBatch) {
            std::vector<TicketDigest> digests;
            for (int i = first; i < std::min(tickets, first + perBatch); ++i)
                digests.push_back({"10", 1, ticketBytes, sha256(ticket)});
            journal.sending(run, first, first + 1, digests);
        }
        journal.endRun(run, RunOutcome::Printed, tickets, {});
    }
    state.counters["marks_synced_per_run"] =
        static_cast<double>(Journal::durableCommits() - syncedBefore) / static_cast<double>(state.iterations());
}

void openOnly(benchmark::State& state)
{
    const ScratchJournal scratch;
    for (auto _ : state)
        Journal journal(scratch.path());
}

void planOnly(benchmark::State& state)
{
    const ScratchJournal scratch;
    Journal journal(scratch.path());
    const std::vector<PlannedTicket> plan = planned();
    for (auto _ : state)
        journal.startRun(RunStart{}, plan);
}

// The batches of one Zebra run on an open journal, digests made beforehand.
void batchesOnly(benchmark::State& state)
{
    const ScratchJournal scratch;
    Journal journal(scratch.path());
    const std::vector<PlannedTicket> plan = planned();
    constexpr int perBatch = 64 * 1024 / 1256 + 1;
    const std::vector<TicketDigest> digests(perBatch, {"10", 1, 1256, sha256("z")});
    for (auto _ : state) {
        state.PauseTiming();
        const std::int64_t run = journal.startRun(RunStart{}, plan);
        state.ResumeTiming();
        for (int first = 0; first + perBatch <= tickets; first += perBatch)
            journal.sending(run, first, first + 1, digests);
    }
}

void digestsOnly(benchmark::State& state)
{
    const std::string ticket(static_cast<std::size_t>(state.range(0)), 'z');
    for (auto _ : state)
        for (int i = 0; i < tickets; ++i)
            benchmark::DoNotOptimize(sha256(ticket));
}

}  // namespace

BENCHMARK(wholeRun)->ArgsProduct({{1256, 6185}, {64 * 1024, 32 * 1024}})->Unit(benchmark::kMillisecond);
BENCHMARK(openOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(planOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(batchesOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(digestsOnly)->Arg(1256)->Arg(6185)->Unit(benchmark::kMillisecond);
