#include "ui/print_progress_dialog.h"

#include "exactly_once/printer_lease.h"

#include <QProgressDialog>
#include <QString>

PrintProgressDialog::PrintProgressDialog(QWidget& window, std::shared_ptr<PrintProgress> progress)
    : window_(window), progress_(std::move(progress))
{
    showTimer_.setSingleShot(true);
    connect(&showTimer_, &QTimer::timeout, this, &PrintProgressDialog::show);
    showTimer_.start(showAfter);
    connect(&updateTimer_, &QTimer::timeout, this, &PrintProgressDialog::update);
}

PrintProgressDialog::~PrintProgressDialog() { delete dialog_.data(); }

void PrintProgressDialog::show()
{
    dialog_ = new QProgressDialog(&window_);
    dialog_->setWindowTitle("travcard");
    // Not modal: the window system drops a close to a window that a modal
    // dialog blocks, and the main window's close must still stop the run.
    // Its commands are refused meanwhile, as one command runs at a time.
    dialog_->setWindowModality(Qt::NonModal);
    dialog_->setAutoClose(false);
    dialog_->setAutoReset(false);
    dialog_->setMinimumDuration(0);
    connect(dialog_, &QProgressDialog::canceled, this, [progress = progress_] { progress->cancel(); });
    update();
    dialog_->show();
    updateTimer_.start(100);
}

void PrintProgressDialog::update()
{
    if (!dialog_ || progress_->cancelled())
        return;
    const int total = progress_->total();
    if (progress_->waitingForPrinter()) {
        dialog_->setLabelText(printerBusyElsewhere);
        dialog_->setRange(0, 0);
        return;
    }
    if (total <= 0) {
        dialog_->setLabelText("Printing");
        dialog_->setRange(0, 0);
        return;
    }
    const int sent = progress_->sent();
    const char* unit = progress_->unit() == TicketUnit::Pages ? "page" : "ticket";
    dialog_->setLabelText(QString("Printing %1 %2 of %3").arg(unit).arg(std::min(sent + 1, total)).arg(total));
    dialog_->setRange(0, total);
    dialog_->setValue(sent);
}
