#include "ui/qt_ui.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>

void QtMessageBox::show(const std::string& text, MessageIcon icon)
{
    QMessageBox box(parent_);
    box.setWindowTitle(QString::fromUtf8(applicationTitle));
    box.setText(QString::fromStdString(text));
    box.setStandardButtons(QMessageBox::Ok);
    switch (icon) {
    case MessageIcon::None: box.setIcon(QMessageBox::NoIcon); break;
    case MessageIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    case MessageIcon::Critical: box.setIcon(QMessageBox::Critical); break;
    }
    // The busy pointer must not hide the box's OK button from the operator.
    const bool busy = QGuiApplication::overrideCursor() != nullptr;
    if (busy)
        QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
    box.exec();
    if (busy)
        QGuiApplication::restoreOverrideCursor();
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
