#include "app/command_line.h"
#include "app/stop_signals.h"
#include "cli/sub_commands.h"
#include "commands/job_runner.h"
#include "ui/frmMain.h"

#include <QApplication>
#include <QSocketNotifier>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <optional>
#include <thread>

#include <poll.h>

namespace {

// A sub-command that prints stops after the current ticket on SIGTERM,
// SIGINT or SIGHUP, and ends with its count, as Cancel does; any other ends
// as the signal says. A thread of its own reads the signals: the handler
// only writes to a pipe.
void stopPrintingOnSignals()
{
    const int caught = stop_signals::catchThem();
    if (caught < 0)
        return;
    std::thread([caught] {
        for (;;) {
            pollfd waiting{caught, POLLIN, 0};
            if (::poll(&waiting, 1, -1) < 0)
                continue;  // EINTR
            while (const int signal = stop_signals::next())
                if (!cli::stopPrinting())
                    stop_signals::endAsSignalled(signal);
        }
    }).detach();
}

// The window closes on SIGTERM, SIGINT or SIGHUP as on its close button,
// without asking: a run stops after the current ticket.
void closeOnSignals(frmMain& window)
{
    const int caught = stop_signals::catchThem();
    if (caught < 0)
        return;
    auto* signalled = new QSocketNotifier(caught, QSocketNotifier::Read, &window);
    QObject::connect(signalled, &QSocketNotifier::activated, &window, [&window] {
        while (stop_signals::next() != 0) {
        }
        window.endOnSignal();
    });
}

// A command given up (at closing, or for a database that did not answer)
// may still be inside a driver call: once a print run given up has reset its
// printer, end without running the libraries' exit handlers under its feet.
int endWith(int status)
{
    if (!JobRunner::waitForUnfinishedJobs(std::chrono::seconds(1))) {
        std::fflush(nullptr);  // what a sub-command wrote to a pipe
        std::_Exit(status);
    }
    return status;
}

// A print run builds megabytes in buffers of tens of kilobytes, and the
// journal's thread lets some of them go: with glibc's defaults the freed
// memory goes back to the system at the end of each run and every page of
// the next run's buffers faults in again, which cost a run a fifth of its
// time. The program keeps what it freed, up to a bound, for the next run.
void keepFreedMemoryForTheNextRun()
{
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
}

}  // namespace

int main(int argc, char* argv[])
{
    keepFreedMemoryForTheNextRun();
    if (const std::optional<int> status = answerCommandLine(argc, argv, stopPrintingOnSignals))
        return endWith(*status);
    QApplication app(argc, argv);
    app.setApplicationName("travcard");
    int status = 0;
    {
        frmMain window;
        const std::string programDir = QCoreApplication::applicationDirPath().toStdString();
        if (const std::optional<int> exitStatus = window.Form_Load(programDir))
            return endWith(*exitStatus);
        window.show();
        closeOnSignals(window);
        status = app.exec();
        // A signal ended the event loops: the window closes now.
        if (window.isVisible())
            window.close();
    }
    return endWith(status);
}
