#include "ui/frmNested.h"

#include "commands/commands.h"
#include "ui/twips.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

namespace {

QLabel* captionLabel(QWidget* parent, const QString& caption, QWidget* buddy)
{
    auto* label = new QLabel(caption, parent);
    label->setBuddy(buddy);
    return label;
}

QPushButton* plainButton(QWidget* parent, const QString& caption)
{
    auto* button = new QPushButton(caption, parent);
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

}  // namespace

frmNested::frmNested(const Commands& commands, Print print, QWidget* parent)
    : QWidget(parent), commands_(commands), print_(std::move(print))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Nested Move Ticket Info");
    setFont(sansSerifFont(8.25));
    createControls();
    layOutControls();
    setTabOrder();
    connect(cmdPrint, &QPushButton::clicked, this, &frmNested::cmdPrint_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmNested::cmdCancel_Click);
    txtPartNo->setFocus();
}

void frmNested::createControls()
{
    txtPartNo = new QLineEdit(this);
    txtQty = new QLineEdit(this);
    txtCustomer = new QLineEdit(this);
    txtDept = new QLineEdit(this);
    txtComment = new QLineEdit(this);
    cmdPrint = plainButton(this, "Print");
    cmdCancel = plainButton(this, "Cancel");
    lblPartNo = captionLabel(this, "Part No:", txtPartNo);
    lblQuantity = captionLabel(this, "Quantity:", txtQty);
    lblCustomer = captionLabel(this, "Customer:", txtCustomer);
    lblDept = captionLabel(this, "Dept:", txtDept);
    lblComment = captionLabel(this, "Comment:", txtComment);
}

void frmNested::layOutControls()
{
    const TwipsLayout twips(*this);
    twips.setClientSize(*this, 5565, 3660);
    twips.place(*lblPartNo, 360, 240, 735, 255);
    twips.place(*lblQuantity, 360, 720, 735, 255);
    twips.place(*lblCustomer, 360, 1200, 735, 255);
    twips.place(*lblDept, 360, 1680, 615, 255);
    twips.place(*lblComment, 360, 2160, 855, 255);
    twips.place(*txtPartNo, 1440, 120, 2055, 375);
    twips.place(*txtQty, 1440, 600, 495, 375);
    twips.place(*txtCustomer, 1440, 1080, 2055, 375);
    twips.place(*txtDept, 1440, 1560, 2055, 375);
    twips.place(*txtComment, 1440, 2040, 3855, 375);
    twips.place(*cmdPrint, 1680, 2760, 975, 615);
    twips.place(*cmdCancel, 3000, 2760, 975, 615);
    for (QLabel* label : {lblPartNo, lblQuantity, lblCustomer, lblDept, lblComment})
        TwipsLayout::widenToFitCaption(*label);
    for (QPushButton* button : {cmdPrint, cmdCancel})
        TwipsLayout::widenToFitCaption(*button);
}

void frmNested::setTabOrder()
{
    QWidget* const order[] = {txtPartNo, txtQty, txtCustomer, txtDept, txtComment, cmdPrint, cmdCancel};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        QWidget::setTabOrder(order[i], order[i + 1]);
}

NestedTexts frmNested::typedTexts() const
{
    return {txtPartNo->text().toStdString(), txtQty->text().toStdString(),
            txtCustomer->text().toStdString(), txtDept->text().toStdString(),
            txtComment->text().toStdString()};
}

void frmNested::cmdPrint_Click()
{
    if (commands_.running())
        return;
    print_(typedTexts(), [window = QPointer<frmNested>(this)](AfterNestedPrint after) {
        if (window && after == AfterNestedPrint::DiscardWindow)
            window->close();
    });
}

void frmNested::cmdCancel_Click() { close(); }

void frmNested::closeEvent(QCloseEvent* event)
{
    // A running command may be this window's own Print.
    if (commands_.running()) {
        event->ignore();
        return;
    }
    event->accept();
}
