// Print History with 100,000 runs in the journal: from opening the window to
// its first rows shown. Print the Rest of a Zebra run of 1,714 tickets that
// sent none: from the command to the first byte at the printer (a FIFO).

#include "commands/reprint.h"
#include "exactly_once/ticket_record.h"
#include "journal/station_name.h"
#include "ui/print_history_window.h"

#include <QApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableWidget>
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int runs = 100'000;
constexpr int tickets = 1714;

std::filesystem::path scratchFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "travcard-history-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a scratch folder");
    return pattern;
}

// A journal of 100,000 ended runs of this station (History shows its own),
// filled in one statement, and one run of
// 1,714 planned Zebra tickets that sent none.
struct FilledJournal {
    FilledJournal() : folder(scratchFolder()), path(QString::fromStdString((folder / "journal.sqlite").string()))
    {
        MessageList messages;
        access = openJournal(path, 180, messages);
        {
            QSqlDatabase bulk = QSqlDatabase::addDatabase("QSQLITE", "bulk");
            bulk.setDatabaseName(path);
            bulk.open();
            QSqlQuery fill(bulk);
            fill.prepare(QString(
                    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1)"
                    " INSERT INTO runs (started, ended, station, user, version, source, location, shop_order,"
                    " suffix, operation, quantity, printer, printer_type, planned, confirmed, outcome, message)"
                    " SELECT 1700000000000 + i * 60000, 1700000000000 + i * 60000 + 900, ?, 'user',"
                    " '1.0.0', 'main window', 'ST', CAST(10000 + i % 5000 AS TEXT), '0', 'All', '1', 'lp',"
                    " 'ZEBRA', 4, 4, 'printed', '' FROM n").arg(runs));
            fill.addBindValue(stationName());
            if (!fill.exec())
                throw std::runtime_error(fill.lastError().text().toStdString());
        }
        QSqlDatabase::removeDatabase("bulk");

        // Built, not assigned: GCC 12 at -O3 warns falsely on assigning to strings here.
        const auto ticket = [](int operation) {
            const std::string number = QString::number(operation * 10).toStdString();
            return TicketData{.orderNo = "2000", .location = "ST", .suffix = "0", .partNo = "WIDGET-100",
                              .qtyOrd = "1", .operNo = number, .dept = "MACH", .workCenter = "MILL",
                              .operDescr = "MILL", .customer = "ACME", .custPart = "AC-1", .nextOper = "DONE",
                              .nextDept = "DONE", .nextDescr = "", .orderCode = "002000", .suffixCode = "000",
                              .operCode = QString::number(operation * 10).rightJustified(4, '0').toStdString(),
                              .labelQty = "1"};
        };
        start.source = "main window";
        start.shared = encodeSharedFields(ticket(1));
        for (int i = 1; i <= tickets; ++i) {
            const TicketData operation = ticket(i);
            planned.push_back({operation.operNo, 1, encodeTicketFields(operation)});
        }
    }

    // A run that sent none of its tickets: Print the Rest takes a run's rest once.
    std::int64_t stoppedRun()
    {
        Journal journal(path);
        const std::int64_t run = journal.startRun(start, planned);
        journal.endRun(run, RunOutcome::Failed, 0, "The printer stopped.");
        return run;
    }
    ~FilledJournal()
    {
        access.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    std::filesystem::path folder;
    QString path;
    std::shared_ptr<JournalAccess> access;
    RunStart start;
    std::vector<PlannedTicket> planned;
};

FilledJournal& filled()
{
    static FilledJournal journal;
    return journal;
}

void openHistory(benchmark::State& state)
{
    MessageList messages;
    for (auto _ : state) {
        PrintHistoryWindow window(filled().access, &messages, [](auto&&...) {});
        window.show();
        QApplication::processEvents();
        if (window.grdRuns->rowCount() == 0)
            state.SkipWithError("no rows shown");
    }
}

void printTheRestFirstByte(benchmark::State& state)
{
    const std::string fifo = (filled().folder / "printer").string();
    mkfifo(fifo.c_str(), 0600);
    ReprintRequest request;
    for (int i = 1; i <= tickets; ++i)
        request.positions.push_back(i);
    request.printer.settings.name = fifo;
    request.printer.settings.kind = PrinterKind::Zebra;
    request.journal = filled().access;
    for (auto _ : state) {
        request.run = filled().stoppedRun();
        request.source = printTheRestSource(request.run);
        const auto started = std::chrono::steady_clock::now();
        std::thread run([&request] { reprintTickets(request); });
        const int reader = ::open(fifo.c_str(), O_RDONLY);
        char buffer[65536];
        ssize_t got = ::read(reader, buffer, sizeof buffer);
        const auto firstByte = std::chrono::steady_clock::now();
        while (got > 0)
            got = ::read(reader, buffer, sizeof buffer);
        ::close(reader);
        run.join();
        state.SetIterationTime(std::chrono::duration<double>(firstByte - started).count());
    }
}

}  // namespace

BENCHMARK(openHistory)->Unit(benchmark::kMillisecond);
BENCHMARK(printTheRestFirstByte)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
