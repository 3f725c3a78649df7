#pragma once
// The nested-part window: the operator types a nested part's number,
// quantity, customer, department and a comment, and prints its label for the
// main window's order and operation. It is modeless; Cancel and the close box
// discard it with what was typed.

#include "nested/nested_print_run.h"

#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

class frmNested : public QWidget {
    Q_OBJECT

public:
    // main is the main window's shared state; readMainTexts reads the main
    // window's boxes at every Print.
    frmNested(SharedState& main, MessageBox& messages,
              std::function<MainWindowTexts()> readMainTexts, QWidget* parent = nullptr);

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

    SharedState& main_;
    MessageBox& messages_;
    std::function<MainWindowTexts()> readMainTexts_;
};
