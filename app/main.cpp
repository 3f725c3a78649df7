#include "app/frmMain.h"
#include "platform/program_dir.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    app.setApplicationName("travcard");
    frmMain window;
    if (const std::optional<int> exitStatus = window.Form_Load(programDirectory()))
        return *exitStatus;
    window.show();
    return app.exec();
}
