// The Print command with "All" and quantity 1, to a file, for orders of 200
// and 2,000 operation rows with mixed types, HELP rows and repeated numbers
// (scripts/bench generates them as orders 200 and 2000 at location ST).
// Each run queries the operations, the item and the successor candidates,
// builds every ticket and writes the file, as the button does. The Zebra run
// of 2,000 operations also goes to a network printer on 127.0.0.1 that reads
// as fast as it can. The 2,000-operation runs go once more with the print
// journal, whose size per 1,000 tickets they report, and the marks synced
// to the disk per run; the Zebra run also to the network printer. A run to
// a printer that takes 8 KB a second is stopped after 2 s: how long until it ends.

#include "bench/app/bench_session.h"
#include "bench/app/discarding_printer.h"
#include "commands/print_run.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <thread>

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
    std::string journal() const { return (folder_ / "journal.sqlite").string(); }
    double bytes() const
    {
        std::error_code error;
        const auto size = std::filesystem::file_size(path(), error);
        return error ? 0 : static_cast<double>(size);
    }

private:
    std::filesystem::path folder_;
};

enum class Journaled { No, Yes };

// A network printer proves what it printed, or answers without the counts that would.
enum class Proof { Yes, No };

void printAll(benchmark::State& bench, const char* order, Printer printer, bool toSocket = false,
              Journaled journaled = Journaled::No, Proof proof = Proof::Yes)
{
    BenchSession& session = benchSession();
    if (!locateOrSkip(bench, session, {selectOrder(order, "ST", "0")}))
        return;
    const PrinterFile file;
    std::optional<DiscardingPrinter> network;
    if (toSocket)
        network.emplace(0, proof == Proof::Yes ? DiscardingPrinter::Status::WithCounts
                                               : DiscardingPrinter::Status::WithoutCounts);
    PrinterSettings settings;
    settings.name = toSocket ? network->address() : file.path();
    settings.kind = printer == Printer::Epson ? PrinterKind::Epson : PrinterKind::Zebra;
    PrintRequest request{selectOrder(order, "ST", "0"), chooseOperation("All", "All"), parseQuantity("1"), *session.located.header, {settings, false}, nullptr};
    MessageList quiet;
    if (journaled == Journaled::Yes)
        request.journal = openJournal(QString::fromStdString(file.journal()), 180, quiet);

    const std::int64_t syncedBefore = ::Journal::durableCommits();
    for (auto _ : bench) {
        const PrintResult result = printTickets(session.db, request);
        if (!result.messages.empty())
            return bench.SkipWithError(result.messages.front().text.c_str());
        request.printer.extraLine = result.extraLine;
    }
    bench.counters["tickets"] = static_cast<double>(session.located.operations.size());
    const double bytes = toSocket ? network->lastJobBytes() : file.bytes();
    bench.counters["bytes"] = bytes;
    if (toSocket)
        bench.counters["status_request_bytes"] = 3 * network->lastJobStatusRequests();
    if (journaled == Journaled::Yes) {
        bench.counters["marks_synced_per_run"] =
            static_cast<double>(::Journal::durableCommits() - syncedBefore) / static_cast<double>(bench.iterations());
        request.journal.reset();  // the last connection: the write-ahead log goes into the file
        std::error_code error;
        const auto size = std::filesystem::file_size(file.journal(), error);
        double tickets = 0;
        for (const RunRecord& run : ::Journal(QString::fromStdString(file.journal())).runs(1'000'000))
            tickets += run.planned;
        bench.counters["journal_kB_per_1000_tickets"] = error || !tickets ? 0 : size / tickets;
    }
}

// A run to a printer that takes 8 KB a second, stopped by the operator
// after 2 s: from the stop to the end of the run, when the printer has
// acknowledged the whole tickets it was given and the connection is closed.
void stopAtSlowPrinter(benchmark::State& bench)
{
    BenchSession& session = benchSession();
    if (!locateOrSkip(bench, session, {selectOrder("2000", "ST", "0")}))
        return;
    PrintRequest request{selectOrder("2000", "ST", "0"), chooseOperation("All", "All"), parseQuantity("1"), *session.located.header, {}, nullptr};
    for (auto _ : bench) {
        DiscardingPrinter printer(8192);
        request.printer.settings.name = printer.address();
        request.progress = std::make_shared<PrintProgress>();
        std::chrono::steady_clock::time_point stopped;
        std::thread operatorStops([&] {
            std::this_thread::sleep_for(std::chrono::seconds(2));
            stopped = std::chrono::steady_clock::now();
            request.progress->cancel();
        });
        const PrintResult result = printTickets(session.db, request);
        const auto ended = std::chrono::steady_clock::now();
        operatorStops.join();
        if (result.outcome != PrintEnding::Stopped)
            return bench.SkipWithError("the run was not stopped");
        bench.SetIterationTime(std::chrono::duration<double>(ended - stopped).count());
        bench.counters["tickets_sent"] = result.tickets.sent;
    }
}

}  // namespace

BENCHMARK(stopAtSlowPrinter)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(printAll, zebra_200_operations, "200", Printer::Zebra)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(printAll, zebra_2000_operations, "2000", Printer::Zebra)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(printAll, zebra_2000_operations_socket, "2000", Printer::Zebra, true)
    ->Unit(benchmark::kMillisecond);
// The same to a printer whose status answers prove nothing.
BENCHMARK_CAPTURE(printAll, zebra_2000_operations_socket_unproven, "2000", Printer::Zebra, true, Journaled::No,
                  Proof::No)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(printAll, epson_2000_operations, "2000", Printer::Epson)
    ->Unit(benchmark::kMillisecond);
// The same runs recorded in a print journal (a SQLite file beside the printer's).
BENCHMARK_CAPTURE(printAll, zebra_2000_operations_journal, "2000", Printer::Zebra, false, Journaled::Yes)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(printAll, epson_2000_operations_journal, "2000", Printer::Epson, false, Journaled::Yes)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(printAll, zebra_2000_operations_socket_journal, "2000", Printer::Zebra, true, Journaled::Yes)
    ->Unit(benchmark::kMillisecond);
