#pragma once
// The main window: location, shop order, suffix, operation and quantity, the
// looked-up part number, and the four commands. The commands run off the
// window's thread (Commands); the window keeps the order that Locate found.
// Print asks first when another station printed the order within the hour.

#include "commands/commands.h"
#include "commands/order_lookup.h"
#include "text/message_box.h"
#include "tickets/order_header.h"
#include "ui/frmNested.h"
#include "ui/preview_window.h"
#include "ui/print_history_window.h"
#include "ui/print_progress_dialog.h"
#include "ui/qt_ui.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class frmMain : public QWidget {
    Q_OBJECT

public:
    // messages defaults to real modal boxes; tests pass a recorder.
    explicit frmMain(MessageBox* messages = nullptr, QWidget* parent = nullptr);
    ~frmMain() override;

    // Reads the configuration in programDir and opens the database. Returns
    // the exit status when the program must end instead of showing the window.
    std::optional<int> Form_Load(const std::string& programDir);

    // The controls, by the names the commands use.
    QLabel* Label1;
    QLabel* Label2[4];
    QLabel* Label3;
    QLabel* Label4;
    QComboBox* cmbLocation;
    QLineEdit* txtOrder;
    QLineEdit* txtSuffix;
    QPushButton* cmdLocate;
    QComboBox* cmbOper;
    QPushButton* cmdNestedParts;
    QLineEdit* txtQty;
    QLineEdit* txtMaterial;
    QPushButton* cmdPrint;
    QPushButton* cmdSetupPrt;
    QPushButton* cmdHistory;

    // The one nested-part window, while it is open.
    frmNested* nestedWindow() const { return nested_; }

    Commands& commands() { return commands_; }

    // Called with the output of a command that printed to preview: (the
    // bytes, and whether they are ZPL rather than ESC/P) once it has ended.
    // By default it shows them in the preview window.
    std::function<void(std::string bytes, bool zebra)> previewHandler;

    // The preview window, once a run to preview: has opened it.
    PreviewWindow* previewWindow() const { return preview_; }
    PrintHistoryWindow* historyWindow() const { return history_; }

    // The progress dialog of the running print, once it shows.
    PrintProgressDialog* printProgress() const { return printProgress_.get(); }

    // The header of the order that the last Locate found; none when it found
    // nothing.
    std::optional<OrderHeader> rsHDR;

    bool commandRunning() const { return commands_.running(); }

    // For a signal, when no one may be there to answer (a desktop logging
    // out): from now on messages go to standard error and closing asks
    // nothing. Ends every event loop, a message box's too, so that the
    // program closes the window and ends.
    void endOnSignal();

public slots:
    void cmdLocate_Click();
    void cmdPrint_Click();
    void cmdSetupPrt_Click();
    void cmdHistory_Click();
    void cmdNestedParts_Click();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void orderEntered();
    void printAgain(std::int64_t run, std::vector<int> positions, int cards, std::string source);
    void printOrder(PrintRequest request);
    void createControls();
    void layOutControls();
    void setTabOrder();
    void connectCommands();
    std::string selectedOperation() const;
    OrderSelection orderSelection() const;
    MainWindowTexts nestedPrintTexts() const;
    void printNested(const NestedTexts& typed, std::function<void(AfterNestedPrint)> whenDone);
    void applyLocate(const LocateResult& result);
    std::shared_ptr<PrintProgress> watchPrinting();
    void showPreview(std::optional<std::string>& preview);
    void showInPreviewWindow(std::string bytes, bool zebra);
    bool mayClose();

    std::unique_ptr<MessageBox> ownMessages_;
    MessageBox* messages_;
    std::unique_ptr<MessageBox> unattendedMessages_;  // once a signal came
    Commands commands_;
    QPointer<frmNested> nested_;
    QPointer<PreviewWindow> preview_;
    QPointer<PrintHistoryWindow> history_;
    std::unique_ptr<PrintProgressDialog> printProgress_;
    std::optional<BusyPointer> busyPointer_;
    std::shared_ptr<JournalAccess> journal_;  // the station's print journal
    bool closing_ = false;  // a command's result that comes now starts nothing more
};
