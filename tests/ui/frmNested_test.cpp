#include "ui/frmNested.h"

#include "tests/fixtures/blocking_command.h"
#include "tests/fixtures/main_window_fixture.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// The main window on order 12345 at ST, suffix 0, with operation 20 picked.
class NestedWindow : public MainWindowTest {
protected:
    void startLocated(const QString& operation = "20")
    {
        start();
        locate("12345");
        window->cmbOper->setCurrentText(operation);
        ASSERT_TRUE(messages.shown.empty());
    }

    frmNested* open()
    {
        window->cmdNestedParts->click();
        return window->nestedWindow();
    }

    // The nested window once the windows that were closed are deleted.
    frmNested* nestedAfterDeletes() const
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return window->nestedWindow();
    }

    static void type(frmNested& nested, const QString& quantity)
    {
        nested.txtPartNo->setText("NP-7");
        nested.txtQty->setText(quantity);
        nested.txtCustomer->setText("ACME");
        nested.txtDept->setText("WELD");
        nested.txtComment->setText("keep dry");
    }
};

TEST_F(NestedWindow, OpensEmptyWithItsCaptionsAndLayout)
{
    startLocated();
    frmNested* nested = open();
    ASSERT_NE(nested, nullptr);
    EXPECT_TRUE(nested->isVisible());
    EXPECT_EQ(nested->windowTitle(), "Nested Move Ticket Info");
    const std::tuple<QLabel*, QLineEdit*, const char*> rows[] = {
        {nested->lblPartNo, nested->txtPartNo, "Part No:"},
        {nested->lblQuantity, nested->txtQty, "Quantity:"},
        {nested->lblCustomer, nested->txtCustomer, "Customer:"},
        {nested->lblDept, nested->txtDept, "Dept:"},
        {nested->lblComment, nested->txtComment, "Comment:"}};
    for (const auto& [label, box, caption] : rows) {
        EXPECT_EQ(label->text(), caption);
        EXPECT_EQ(label->buddy(), box) << caption;
        EXPECT_TRUE(box->text().isEmpty()) << caption;
    }
    for (QPushButton* button : {nested->cmdPrint, nested->cmdCancel}) {
        EXPECT_FALSE(button->isDefault());
        EXPECT_FALSE(button->autoDefault());
    }
    EXPECT_EQ(nested->cmdPrint->text(), "Print");
    EXPECT_EQ(nested->cmdCancel->text(), "Cancel");
    const double pixelsPerTwip = nested->logicalDpiX() / 1440.0;
    const auto px = [&](int twips) { return qRound(twips * pixelsPerTwip); };
    // Left and top count within the window; its own row is its client area.
    const std::tuple<QWidget*, int, int, int, int> placed[] = {
        {nested, 0, 0, 5565, 3660}, {nested->txtComment, 1440, 2040, 3855, 375},
        {nested->cmdCancel, 3000, 2760, 975, 615}};
    for (const auto& [control, left, top, width, height] : placed)
        EXPECT_EQ(QRect(control->mapTo(nested, QPoint()), control->size()),
                  QRect(px(left), px(top), px(width), px(height))) << control->metaObject()->className();
}

TEST_F(NestedWindow, FocusStartsInThePartNumberAndTabFollowsTheBoxes)
{
    startLocated();
    frmNested* nested = open();
    QApplication::setActiveWindow(nested);
    QApplication::processEvents();
    QWidget* const expected[] = {nested->txtPartNo,   nested->txtQty,   nested->txtCustomer,
                                 nested->txtDept,     nested->txtComment, nested->cmdPrint,
                                 nested->cmdCancel,   nested->txtPartNo};
    for (QWidget* control : expected) {
        EXPECT_EQ(QApplication::focusWidget(), control);
        QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
        QApplication::sendEvent(QApplication::focusWidget(), &tab);
        QApplication::processEvents();
    }
}

TEST_F(NestedWindow, IsRefusedOnTheExactOperationAll)
{
    startLocated("All");
    EXPECT_EQ(open(), nullptr);
    EXPECT_THAT(messages.shown,
                ElementsAre(RecordedMessage{"Cannot use nested parts form on an 'All' Operation",
                                            MessageIcon::Warning}));
}

struct OperationText {
    const char* name;
    const char* text;
};

void PrintTo(const OperationText& operation, std::ostream* out) { *out << '"' << operation.text << '"'; }

class NestedWindowOperation : public NestedWindow, public ::testing::WithParamInterface<OperationText> {};

TEST_P(NestedWindowOperation, OpensForAnyOtherText)
{
    startLocated(GetParam().text);
    ASSERT_NE(open(), nullptr);
    EXPECT_TRUE(messages.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(Texts, NestedWindowOperation,
                         ::testing::Values(OperationText{"LowerCase", "all"},
                                           OperationText{"TrailingBlank", "All "},
                                           OperationText{"Number", "20"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(NestedWindow, ShowingItAgainKeepsTheSameWindowAndItsTexts)
{
    startLocated();
    frmNested* nested = open();
    nested->txtPartNo->setText("NP-7");
    EXPECT_EQ(open(), nested);
    EXPECT_EQ(nested->txtPartNo->text(), "NP-7");
}

TEST_F(NestedWindow, CancelDiscardsItAndTheNextShowIsEmpty)
{
    startLocated();
    frmNested* first = open();
    first->txtPartNo->setText("NP-7");
    first->cmdCancel->click();
    frmNested* second = open();
    EXPECT_NE(second, first);
    EXPECT_TRUE(second->txtPartNo->text().isEmpty());
    EXPECT_EQ(nestedAfterDeletes(), second);
}

TEST_F(NestedWindow, TheCloseBoxDiscardsIt)
{
    startLocated();
    EXPECT_TRUE(open()->close());
    EXPECT_EQ(nestedAfterDeletes(), nullptr);
}

TEST_F(NestedWindow, PrintKeepsTheWindowAndWhatWasTyped)
{
    startLocated();
    frmNested* nested = open();
    type(*nested, "25");
    window->txtQty->setText("4");
    press(nested->cmdPrint);
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_THAT(printed(), HasSubstr("^FDQUANTITY: 25^FS"));
    EXPECT_THAT(printed(), HasSubstr("\r\n^PQ4,0,0,N\r\n"));
    ASSERT_EQ(nestedAfterDeletes(), nested);
    EXPECT_TRUE(nested->isVisible());
    EXPECT_EQ(nested->txtQty->text(), "25");
}

TEST_F(NestedWindow, AnOperationChangedToAllFindsNoRowAndDiscardsTheWindow)
{
    startLocated();
    frmNested* nested = open();
    type(*nested, "1");
    window->cmbOper->setCurrentText("All");
    press(nested->cmdPrint);
    EXPECT_THAT(messages.shown,
                ElementsAre(RecordedMessage{"An operation could not be found for this Shop Order.",
                                            MessageIcon::Critical}));
    EXPECT_FALSE(printerFileExists());
    EXPECT_EQ(nestedAfterDeletes(), nullptr);
}

TEST_F(NestedWindow, PrintAndCancelWaitWhileACommandRuns)
{
    startLocated();
    frmNested* nested = open();
    type(*nested, "1");
    {
        BlockingCommand running(window->commands());
        nested->cmdPrint->click();
        nested->cmdCancel->click();
    }
    waitForCommand();
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_FALSE(printerFileExists());
    EXPECT_EQ(nestedAfterDeletes(), nested);
    EXPECT_TRUE(nested->isVisible());
}

TEST_F(NestedWindow, ClosingTheMainWindowClosesIt)
{
    startLocated();
    open();
    window->show();
    EXPECT_TRUE(window->close());
    EXPECT_EQ(nestedAfterDeletes(), nullptr);
}

}  // namespace
