// One EPSON print run of order 12345 ("All") through the main window, as an
// operator starts it, measured from inside: scripts/bench runs it with
// quantities 1 and 30,000 to a file, and with quantity 50 to a FIFO that
// drains at a dot-matrix printer's pace.
//
//   print_probe QUANTITY [BYTES_PER_SECOND]
//
// With a rate the printer is a FIFO read at that rate; without one, a file.
// Prints key=value lines: the seconds the run took, the bytes the printer
// received, the longest gap between 10 ms timer ticks on the window's thread,
// and the process's peak resident memory (VmHWM). ODBCINI selects the data
// source, as for travcard.

#include "tests/fixtures/event_loop_probe.h"
#include "tests/fixtures/fifo_reader.h"
#include "ui/frmMain.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sys/stat.h>

namespace {

class StandardErrorMessages : public MessageBox {
public:
    void show(const std::string& text, MessageIcon) override
    {
        std::cerr << text << '\n';
        ++count;
    }
    int count = 0;
};

long peakResidentKb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

void waitWhileRunning(const frmMain& window)
{
    while (window.commandRunning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::cerr << "usage: print_probe QUANTITY [BYTES_PER_SECOND]\n";
        return 2;
    }
    QApplication app(argc, argv);
    const std::string quantity = argv[1];
    const long rate = argc > 2 ? std::atol(argv[2]) : 0;

    std::string pattern = (std::filesystem::temp_directory_path() / "travcard-probe-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return 2;
    const std::filesystem::path dir = pattern;
    const std::string printerPath = (dir / "printer.out").string();
    std::ofstream(dir / "travcard.cfg") << "PRINTER=" << printerPath << "\r\nPRTTYPE=EPSON\r\n";
    std::unique_ptr<FifoReader> slowPrinter;
    if (rate > 0) {
        mkfifo(printerPath.c_str(), 0600);
        slowPrinter = std::make_unique<FifoReader>(printerPath, static_cast<std::size_t>(rate / 20),
                                                   std::chrono::milliseconds(50));
    }

    StandardErrorMessages messages;
    int status = 0;
    {
        frmMain window(&messages);
        if (window.Form_Load(dir.string()))
            return 1;
        window.txtOrder->setText("12345");
        window.cmdLocate->click();
        waitWhileRunning(window);
        window.txtQty->setText(QString::fromStdString(quantity));
        QElapsedTimer clock;
        clock.start();
        window.cmdPrint->click();
        const auto gap = longestTickGap(std::chrono::hours(1), [&] { return !window.commandRunning(); });
        const double seconds = clock.elapsed() / 1000.0;
        std::error_code error;
        const auto bytes = slowPrinter ? slowPrinter->finish().size() : std::filesystem::file_size(printerPath, error);
        std::cout << "seconds=" << seconds << "\nbytes=" << bytes << "\nlongest_gap_ms=" << gap.count()
                  << "\nvmhwm_kb=" << peakResidentKb() << "\n";
        status = messages.count == 0 ? 0 : 1;
    }
    slowPrinter.reset();
    std::filesystem::remove_all(dir);
    return status;
}
