#include "ui/qt_ui.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>

namespace {

int execWithArrow(QWidget* parent, const std::string& text, MessageIcon icon, QMessageBox::StandardButtons buttons)
{
    QMessageBox box(parent);
    box.setWindowTitle(QString::fromUtf8(applicationTitle));
    box.setText(QString::fromStdString(text));
    box.setStandardButtons(buttons);
    switch (icon) {
    case MessageIcon::None: box.setIcon(QMessageBox::NoIcon); break;
    case MessageIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    case MessageIcon::Critical: box.setIcon(QMessageBox::Critical); break;
    }
    // The busy pointer must not hide the box's buttons from the operator.
    const bool busy = QGuiApplication::overrideCursor() != nullptr;
    if (busy)
        QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
    const int answer = box.exec();
    if (busy)
        QGuiApplication::restoreOverrideCursor();
    return answer;
}

}  // namespace

void QtMessageBox::show(const std::string& text, MessageIcon icon)
{
    execWithArrow(parent_, text, icon, QMessageBox::Ok);
}

bool QtMessageBox::ask(const std::string& question, MessageIcon icon)
{
    return execWithArrow(parent_, question, icon, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

BusyPointer::BusyPointer()
{
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        set_ = true;
    }
}

BusyPointer::~BusyPointer()
{
    if (set_)
        QGuiApplication::restoreOverrideCursor();
}
