// Main of the benchmarks that use the database: the print run shows the busy
// pointer and lets the windows process events, so an application must exist.
// It runs on the offscreen platform unless QT_QPA_PLATFORM names another.

#include <QApplication>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <malloc.h>
#include <thread>

int main(int argc, char** argv)
{
    // As in the program, whose print runs go on the job runner's thread:
    // glibc's malloc takes its locks once a process has started a thread,
    // and keeps freed memory as the program's main tells it to.
    std::thread([] {}).join();
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
