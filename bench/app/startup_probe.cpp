// Starts exactly as travcard does (application, main window, load step, show)
// and quits as soon as the window is shown and the event loop has run once,
// so that a whole process start can be timed from outside.
//
// A message goes to standard error instead of a modal box, which would wait
// for an operator that an unattended run does not have; the probe then ends
// with the load step's exit status.

#include "ui/frmMain.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>

#include <iostream>

namespace {

class StandardErrorMessages : public MessageBox {
public:
    void show(const std::string& text, MessageIcon) override { std::cerr << text << '\n'; }
};

}  // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    app.setApplicationName("travcard");
    StandardErrorMessages messages;
    frmMain window(&messages);
    if (const std::optional<int> exitStatus = window.Form_Load(QCoreApplication::applicationDirPath().toStdString()))
        return *exitStatus;
    window.show();
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}
