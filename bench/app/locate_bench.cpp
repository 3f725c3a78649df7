// Locate on an order table of 100,000 orders (four operations each), as the
// button runs it: the header query and the operations query, type S left out.
// scripts/bench generates the orders 700000 to 799999 at location ST.

#include "bench/app/bench_session.h"

namespace {

void locate(benchmark::State& bench)
{
    BenchSession& session = benchSession();
    const LocateRequest order{"750000", "ST", "0"};
    if (!locateOrSkip(bench, session, order))
        return;
    for (auto _ : bench)
        benchmark::DoNotOptimize(locateOrder(session.state, order, session.messages));
    if (!noMessageShown(bench, session.messages))
        return;
    bench.counters["orders"] = rowsIn(session, "PUBLIC.SHPORD_HDR");
    bench.counters["operations"] = static_cast<double>(session.state.rsOPER.rowCount());
}

}  // namespace

BENCHMARK(locate)->Unit(benchmark::kMillisecond);
