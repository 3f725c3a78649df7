#pragma once
// The windowing toolkit's services that commands use: the real message box,
// and the application-wide busy pointer.

#include "text/message_box.h"

class QWidget;

class QtMessageBox : public MessageBox {
public:
    explicit QtMessageBox(QWidget* parent = nullptr) : parent_(parent) {}
    void show(const std::string& text, MessageIcon icon) override;
    bool ask(const std::string& question, MessageIcon icon) override;

private:
    QWidget* parent_;
};

// Shows the busy pointer for its lifetime and restores the default pointer
// on every way out.
class BusyPointer {
public:
    BusyPointer();
    ~BusyPointer();
    BusyPointer(const BusyPointer&) = delete;
    BusyPointer& operator=(const BusyPointer&) = delete;

private:
    bool set_ = false;
};
