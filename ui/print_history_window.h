#pragma once
// Print History: the journal's runs, newest first, this station's unless All
// stations is checked (then with each run's station), and what can be done with
// one of them. Print the Rest prints the tickets of the selected run that the
// printer did not confirm; Reprint prints chosen tickets again. Both go out
// as new runs through the callback the main window gives, to today's
// printer. The Find box takes an order number, or a ticket's scanned order
// barcode (012345-000) and then its operation barcode (0030), which selects
// the newest run and ticket of that operation.

#include "commands/reprint.h"
#include "journal/journal.h"
#include "text/message_box.h"

#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QCheckBox;
class QDialog;

class PrintHistoryWindow : public QWidget {
public:
    // print runs a request for the chosen tickets: their positions and the
    // cards of each (0: as each was printed).
    using Print = std::function<void(std::int64_t run, std::vector<int> positions, int cards, std::string source)>;

    PrintHistoryWindow(std::shared_ptr<JournalAccess> journal, MessageBox* messages, Print print,
                       QWidget* parent = nullptr);
    ~PrintHistoryWindow() override;

    // Reads the journal again, keeping the Find box's filter.
    void refresh();

    // The selected run, if any.
    std::optional<RunRecord> selectedRun() const;

    QLabel* lblFind;
    QLineEdit* txtFind;
    QCheckBox* chkAllStations;
    QTableWidget* grdRuns;
    QPushButton* cmdPrintRest;
    QPushButton* cmdReprint;

    // Reprint's list of the selected run's tickets and the copies box, while it is open.
    QDialog* reprintDialog() const { return reprint_; }
    QListWidget* lstTickets = nullptr;
    QSpinBox* spnCopies = nullptr;

private:
    void findEntered();
    void showRuns(const std::vector<RunRecord>& runs);
    void printTheRest();
    void openReprint(std::optional<int> preselected = {});
    void reprintChosen(std::int64_t run);
    std::vector<TicketRecord> ticketsOf(std::int64_t run);

    std::shared_ptr<JournalAccess> journal_;
    std::unique_ptr<Journal> connection_;
    MessageBox* messages_;
    Print print_;
    std::vector<RunRecord> runs_;
    std::string order_;          // the order the runs are filtered by
    bool scannedOrder_ = false;  // the last Find was an order barcode
    std::string suffix_;
    QDialog* reprint_ = nullptr;
};
