#pragma once
// The nested-part window: the operator types a nested part's number,
// quantity, customer, department and a comment, and prints its label for the
// main window's order and operation. It is modeless; Cancel and the close box
// discard it with what was typed.

#include "commands/nested_print_run.h"

#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

class Commands;

class frmNested : public QWidget {
    Q_OBJECT

public:
    // Prints what was typed with the main window's order, operation and
    // printer as they are at the time of Print; whenDone is called with the
    // outcome once the command's messages are shown.
    using Print = std::function<void(const NestedTexts& typed, std::function<void(AfterNestedPrint)> whenDone)>;

    // commands tells whether a command runs; print runs this window's Print.
    frmNested(const Commands& commands, Print print, QWidget* parent = nullptr);

    QLabel* lblPartNo;
    QLabel* lblQuantity;
    QLabel* lblCustomer;
    QLabel* lblDept;
    QLabel* lblComment;
    QLineEdit* txtPartNo;
    QLineEdit* txtQty;
    QLineEdit* txtCustomer;
    QLineEdit* txtDept;
    QLineEdit* txtComment;
    QPushButton* cmdPrint;
    QPushButton* cmdCancel;

public slots:
    void cmdPrint_Click();
    void cmdCancel_Click();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void createControls();
    void layOutControls();
    void setTabOrder();
    NestedTexts typedTexts() const;

    const Commands& commands_;
    Print print_;
};
