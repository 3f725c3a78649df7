// The Print command with "All" and quantity 1, to a file, for orders of 200
// and 2,000 operation rows with mixed types, HELP rows and repeated numbers
// (scripts/bench generates them as orders 200 and 2000 at location ST).
// Each run queries the operations, the item and the successor candidates,
// builds every ticket and writes the file, as the button does.

#include "bench/app/bench_session.h"
#include "tickets/print_run.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace {

enum class Printer { Zebra, Epson };

// A scratch folder for the printer file, removed at the end of the benchmark.
class PrinterFile {
public:
    PrinterFile()
    {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "travcard-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a folder for the printer file");
        folder_ = pattern;
    }
    ~PrinterFile()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    PrinterFile(const PrinterFile&) = delete;
    PrinterFile& operator=(const PrinterFile&) = delete;

    std::string path() const { return (folder_ / "printer.out").string(); }
    double bytes() const
    {
        std::error_code error;
        const auto size = std::filesystem::file_size(path(), error);
        return error ? 0 : static_cast<double>(size);
    }

private:
    std::filesystem::path folder_;
};

void printAll(benchmark::State& bench, const char* order, Printer printer)
{
    BenchSession& session = benchSession();
    if (!locateOrSkip(bench, session, {order, "ST", "0"}))
        return;
    const PrinterFile file;
    PrintRequest request{order, "ST", "0", "All", "All", "1", *session.located.rsHDR,
                         {{file.path(), printer == Printer::Epson, printer == Printer::Zebra}}};
    for (auto _ : bench) {
        const PrintResult result = printTickets(session.db, request);
        if (!result.messages.empty())
            return bench.SkipWithError(result.messages.front().text.c_str());
        request.printer.boolExtraLine = result.boolExtraLine;
    }
    bench.counters["tickets"] = static_cast<double>(session.located.operations.size());
    bench.counters["bytes"] = file.bytes();
}

}  // namespace

BENCHMARK_CAPTURE(printAll, zebra_200_operations, "200", Printer::Zebra)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(printAll, zebra_2000_operations, "2000", Printer::Zebra)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(printAll, epson_2000_operations, "2000", Printer::Epson)
    ->Unit(benchmark::kMillisecond);
