// Locate on an order table of 100,000 orders (four operations each), as the
// button runs it: the header query and the operations query, type S left out.
// scripts/bench generates the orders 700000 to 799999 at location ST.

#include "bench/app/bench_session.h"

namespace {

void locate(benchmark::State& bench)
{
    BenchSession& session = benchSession();
    const LocateRequest order{selectOrder("750000", "ST", "0")};
    if (!locateOrSkip(bench, session, order))
        return;
    for (auto _ : bench) {
        const LocateResult result = locateOrder(session.db, order);
        if (!result.messages.empty())
            return bench.SkipWithError(result.messages.front().text.c_str());
    }
    bench.counters["orders"] = rowsIn(session, "PUBLIC.SHPORD_HDR");
    bench.counters["operations"] = static_cast<double>(session.located.operations.size());
}

}  // namespace

BENCHMARK(locate)->Unit(benchmark::kMillisecond);
