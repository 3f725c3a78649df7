#include "exactly_once/cups_runs.h"

#include "printing/cups_jobs.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

constexpr std::string_view cupsPrefix = "cups:";

// CUPS names queues without regard to case.
bool sameQueue(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

}  // namespace

int settleCupsRuns(Journal& journal, std::int64_t only)
{
    std::vector<SpooledRun> runs = journal.spooledRunsInDoubt(settleLimit, only);
    std::erase_if(runs, [](const SpooledRun& run) { return !std::string_view(run.printer).starts_with(cupsPrefix); });
    if (runs.empty())
        return 0;
    std::vector<int> jobs;
    for (const SpooledRun& run : runs)
        jobs.push_back(run.job);
    DestinationLimits limits;
    limits.connectTimeout = settleWait;
    std::vector<std::optional<CupsJobState>> states;
    try {
        states = cupsJobStates(jobs, limits);
    } catch (const PrinterError&) {
        return 0;  // asked again at the next look
    }
    int confirmed = 0;
    for (std::size_t i = 0; i < runs.size() && i < states.size(); ++i) {
        const SpooledRun& run = runs[i];
        const std::optional<CupsJobState>& state = states[i];
        // A scheduler set up anew may number its jobs again: one on another queue is another job.
        if (!state || !state->completed() || !sameQueue(state->queue, std::string_view(run.printer).substr(cupsPrefix.size())))
            continue;
        const std::string note =
            "CUPS completed the job (job " + std::to_string(run.job) + ") after the run ended: its tickets are confirmed.";
        if (journal.confirmSpooled(run.run, run.job, note))
            ++confirmed;
    }
    return confirmed;
}
