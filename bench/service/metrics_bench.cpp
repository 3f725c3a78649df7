// GET /metrics of travcard serve as a Prometheus server scrapes it, on one
// kept-alive connection, with range(0) ended runs of four tickets in the
// service's journal (written before it starts): the time from a scrape's
// request to its whole answer, and median_ms over the iterations. A scrape
// reads nothing of the journal, so 10,000 runs cost what none do.

#include "bench/service/bench_service.h"
#include "journal/journal.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// ended runs of four tickets, printed, in a new journal at path.
void fillJournal(const std::filesystem::path& path, int ended)
{
    Journal journal(QString::fromStdString(path.string()));
    const std::vector<PlannedTicket> plan(4, PlannedTicket{"10", 1, std::string(110, 'd')});
    RunStart start;
    start.source = std::string("metrics bench");
    start.location = std::string("ST");
    start.order = std::string("12345");
    start.printer = std::string("/dev/null");
    start.printerType = std::string("ZEBRA");
    for (int i = 0; i < ended; ++i)
        journal.endRun(journal.startRun(start, plan), RunOutcome::Printed, 4, {});
    if (ended > 0 && journal.runs(1).at(0).id != ended)
        throw std::runtime_error("the journal does not hold the runs written");
}

// travcard serve in a scratch folder of its own, its journal holding the
// ended runs; stopped, and the folder removed, at the end.
class ScrapedService {
public:
    explicit ScrapedService(int endedRuns)
    {
        folder_.writeConfig(folder_.file("printer.out").string());
        fillJournal(Service::journal(folder_, "service"), endedRuns);
        service_.emplace(folder_, "service");
        if (!service_->fault().empty())
            throw std::runtime_error(service_->fault());
    }

    int port() const { return service_->port(); }

private:
    ServiceFolder folder_;
    std::optional<Service> service_;
};

void scrape(benchmark::State& state)
{
    static std::map<int, std::unique_ptr<ScrapedService>> services;
    const int endedRuns = static_cast<int>(state.range(0));
    std::vector<double> milliseconds;
    try {
        std::unique_ptr<ScrapedService>& service = services[endedRuns];
        if (!service)
            service = std::make_unique<ScrapedService>(endedRuns);
        HttpClient scraper(service->port());
        for (int warmUp = 0; warmUp < 20; ++warmUp)
            scraper.send("GET", "/metrics");
        for (auto _ : state) {
            const auto sent = Clock::now();
            const HttpClient::Answer answer = scraper.send("GET", "/metrics");
            const auto took = Clock::now() - sent;
            if (answer.status != 200)
                return state.SkipWithError(("GET /metrics answered " + std::to_string(answer.status)).c_str());
            state.SetIterationTime(seconds(took));
            milliseconds.push_back(inMilliseconds(took));
            state.counters["body_kB"] = static_cast<double>(answer.body.size()) / 1000;
        }
    } catch (const std::exception& error) {
        return state.SkipWithError(error.what());
    }
    state.counters["median_ms"] = median(std::move(milliseconds));
}

}  // namespace

BENCHMARK(scrape)->ArgName("ended_runs")->Arg(0)->Arg(10'000)->Iterations(2'000)->UseManualTime()->Unit(
    benchmark::kMicrosecond);
