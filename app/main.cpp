#include "app/frmMain.h"
#include "platform/program_dir.h"

#include "platform/job_runner.h"

#include <QApplication>

#include <cstdlib>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    app.setApplicationName("travcard");
    int status = 0;
    {
        frmMain window;
        if (const std::optional<int> exitStatus = window.Form_Load(programDirectory()))
            return *exitStatus;
        window.show();
        status = app.exec();
    }
    // A command given up at closing may still be inside a driver call: end
    // without running the libraries' exit handlers under its feet.
    if (JobRunner::unfinishedJobs() > 0)
        std::_Exit(status);
    return status;
}
