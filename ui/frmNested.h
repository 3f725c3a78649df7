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

// What the nested-part window asks of the main window: whether a command
// runs, and to print what was typed with the main window's order, operation
// and printer. whenDone is called with the result once the messages are shown.
class NestedPrintHost {
public:
    virtual ~NestedPrintHost() = default;
    virtual bool commandRunning() const = 0;
    virtual void printNested(const NestedTexts& typed,
                             std::function<void(AfterNestedPrint)> whenDone) = 0;
};

class frmNested : public QWidget {
    Q_OBJECT

public:
    explicit frmNested(NestedPrintHost& host, QWidget* parent = nullptr);

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

    NestedPrintHost& host_;
};
