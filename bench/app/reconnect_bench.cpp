// What a server restart costs the operator: the time from the restarted
// server's readiness to the end of the first Locate after it, which finds the
// connection gone, opens a new one and runs its query again. The restart
// itself is not timed. scripts/bench names the restart command in
// TRAVCARD_BENCH_RESTART.

#include "bench/app/bench_session.h"

#include <cstdlib>

namespace {

void locateAfterRestart(benchmark::State& bench)
{
    const char* restart = std::getenv("TRAVCARD_BENCH_RESTART");
    if (!restart)
        return bench.SkipWithError("TRAVCARD_BENCH_RESTART names no restart command");
    BenchSession& session = benchSession();
    const LocateRequest order{selectOrder("12345", "ST", "0")};
    if (!locateOrSkip(bench, session, order))
        return;
    const int connectionsBefore = session.db.connectionsOpened();
    for (auto _ : bench) {
        bench.PauseTiming();
        if (std::system(restart) != 0)
            return bench.SkipWithError("the server did not restart");
        bench.ResumeTiming();
        if (!locateOrSkip(bench, session, order))
            return;
    }
    bench.counters["reconnects"] =
        static_cast<double>(session.db.connectionsOpened() - connectionsBefore);
}

}  // namespace

BENCHMARK(locateAfterRestart)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
