#include "app/command_line.h"
#include "commands/job_runner.h"
#include "ui/frmMain.h"

#include <QApplication>

#include <chrono>
#include <cstdlib>
#include <optional>

int main(int argc, char* argv[])
{
    if (const std::optional<int> status = answerCommandLine(argc, argv))
        return *status;
    QApplication app(argc, argv);
    app.setApplicationName("travcard");
    int status = 0;
    {
        frmMain window;
        const std::string programDir = QCoreApplication::applicationDirPath().toStdString();
        if (const std::optional<int> exitStatus = window.Form_Load(programDir))
            return *exitStatus;
        window.show();
        status = app.exec();
    }
    // A print run given up at closing resets its printer's connection at
    // once; a command inside a driver call may never return: end without
    // running the libraries' exit handlers under its feet.
    if (!JobRunner::waitForUnfinishedJobs(std::chrono::seconds(1)))
        std::_Exit(status);
    return status;
}
