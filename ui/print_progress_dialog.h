#pragma once
// Shows how far a print run has got, once it has taken longer than a
// moment: "Printing ticket N of M" (or page), with a Cancel button that asks
// the run to stop at the next ticket boundary. Short runs show nothing.

#include "printing/print_progress.h"

#include <QObject>
#include <QPointer>
#include <QProgressDialog>
#include <QTimer>

#include <chrono>
#include <memory>

class QWidget;

class PrintProgressDialog : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds showAfter{1000};

    PrintProgressDialog(QWidget& window, std::shared_ptr<PrintProgress> progress);
    ~PrintProgressDialog() override;

    // Asks the run to stop at the next ticket, as Cancel does.
    void cancelRun() { progress_->cancel(); }

    // The dialog, once shown.
    QProgressDialog* dialog() const { return dialog_; }

private:
    void show();
    void update();

    QWidget& window_;
    std::shared_ptr<PrintProgress> progress_;
    QTimer showTimer_;
    QTimer updateTimer_;
    QPointer<QProgressDialog> dialog_;
};
