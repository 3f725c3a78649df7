// Drawing the Zebra jobs of whole print runs, one label at a time, each
// saved as a PNG file as travcard-render saves it: order 12345 at ST (4
// labels) and the generated order 2000 at ST (1,714 labels; scripts/bench
// adds it). The peak memory after each shows whether it grows with the
// label count.

#include "bench/app/bench_session.h"
#include "commands/print_run.h"
#include "render/page_files.h"
#include "render/printer_stream.h"

#include <QFile>
#include <QTemporaryDir>

#include <sys/resource.h>

namespace {

double peakMegabytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024;
}

// The bytes a Print of "All", quantity 1, sends to a Zebra printer.
QByteArray zebraJobs(benchmark::State& bench, const QTemporaryDir& dir, const char* order)
{
    BenchSession& session = benchSession();
    if (!locateOrSkip(bench, session, {selectOrder(order, "ST", "0")}))
        return {};
    const QString path = dir.filePath("printer.out");
    PrinterSettings zebra;
    zebra.name = path.toStdString();
    zebra.kind = PrinterKind::Zebra;
    const PrintRequest request{selectOrder(order, "ST", "0"), chooseOperation("All", "All"), parseQuantity("1"), *session.located.header,
                               {zebra, false}, nullptr};
    const PrintResult result = printTickets(session.db, request);
    if (!result.messages.empty()) {
        bench.SkipWithError(result.messages.front().text.c_str());
        return {};
    }
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void renderLabels(benchmark::State& bench, const char* order)
{
    const QTemporaryDir dir;
    const QByteArray jobs = zebraJobs(bench, dir, order);
    if (jobs.isEmpty())
        return;
    const QString png = dir.filePath("label.png");
    int labels = 0;
    for (auto _ : bench) {
        travcard::render::PageRenderer renderer(jobs, travcard::render::PrinterKind::Zebra);
        labels = 0;
        while (auto label = renderer.next()) {
            savePng(label->image, png);
            ++labels;
        }
    }
    bench.counters["labels"] = labels;
    bench.counters["labels_per_second"] =
        benchmark::Counter(static_cast<double>(labels), benchmark::Counter::kIsIterationInvariantRate);
    bench.counters["peak_MB"] = peakMegabytes();
}

}  // namespace

BENCHMARK_CAPTURE(renderLabels, order_12345, "12345")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(renderLabels, order_2000, "2000")->Unit(benchmark::kMillisecond)->Iterations(1);
