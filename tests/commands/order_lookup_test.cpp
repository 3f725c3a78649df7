#include "commands/order_lookup.h"

#include "tests/fixtures/main_window_fixture.h"

#include <QGuiApplication>

namespace {

using ::testing::ElementsAre;
using Locate = MainWindowTest;

TEST_F(Locate, FoundOrderShowsPartAndPrintableOperations)
{
    start();
    window->txtQty->setText("7");
    locate(" 12345 ", " ST ", " 0 ");
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(window->txtMaterial->text(), "WIDGET-100          ");
    EXPECT_EQ(window->txtQty->text(), "1");
    EXPECT_EQ(entries(*window->cmbOper), QStringList({"All", "10", "20", "40", "50"}))
        << "type S operation 30 is left out";
    EXPECT_EQ(window->cmbOper->currentText(), "All");
    EXPECT_TRUE(window->cmdPrint->isEnabled());
    EXPECT_TRUE(window->cmdNestedParts->isEnabled());
    EXPECT_EQ(window->rsHDR->orderId, "    12345");
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(Locate, OperationsComeInTheDatabaseOrder)
{
    start();
    locate("1234567");
    EXPECT_EQ(entries(*window->cmbOper), QStringList({"All", "30", "10", "20"}));
}

TEST_F(Locate, NotFoundClearsThePartButKeepsThePreviousOperations)
{
    start();
    locate("12345");
    locate("12345", "ST", "7");
    EXPECT_THAT(messages.shown, ElementsAre(RecordedMessage{"Cannot find this Job.  Try Again.",
                                                            MessageIcon::Critical}));
    EXPECT_TRUE(window->txtMaterial->text().isEmpty());
    EXPECT_EQ(entries(*window->cmbOper), QStringList({"All", "10", "20", "40", "50"}));
    EXPECT_FALSE(window->cmdPrint->isEnabled());
    EXPECT_FALSE(window->cmdNestedParts->isEnabled());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(Locate, OnlySubcontractOperationsEnablePrintButNotNestedParts)
{
    start();
    locate("60001");
    EXPECT_THAT(messages.shown,
                ElementsAre(RecordedMessage{"There are no Operations for this Shop Order.",
                                            MessageIcon::Critical}));
    EXPECT_EQ(window->txtMaterial->text(), "PLATE-11            ");
    EXPECT_EQ(window->txtQty->text(), "1");
    EXPECT_EQ(entries(*window->cmbOper), QStringList({"01", "02", "03", "04"}));
    EXPECT_TRUE(window->cmdPrint->isEnabled());
    EXPECT_FALSE(window->cmdNestedParts->isEnabled());
}

TEST_F(Locate, TooLongOrderIsRefusedBeforeAnyQuery)
{
    start();
    locate("123456789", "HM");
    EXPECT_TRUE(messages.shown.empty()) << "nine characters are accepted";
    const int queriesBefore = db().statementsRun();
    window->txtMaterial->setText("kept");
    locate("12345     ");
    EXPECT_THAT(messages.shown, ElementsAre(RecordedMessage{"Order # length cannot exceed 9.",
                                                            MessageIcon::Critical}));
    EXPECT_EQ(db().statementsRun(), queriesBefore);
    EXPECT_EQ(window->txtMaterial->text(), "kept");
    EXPECT_FALSE(window->cmdPrint->isEnabled());
    EXPECT_FALSE(window->cmdNestedParts->isEnabled());
}

TEST_F(Locate, SuffixThatIsNoWholeNumberFindsNothingWithoutAQuery)
{
    start();
    const int queriesBefore = db().statementsRun();
    locate("12345", "ST", "0x");
    EXPECT_EQ(messages.texts(), std::vector<std::string>{"Cannot find this Job.  Try Again."});
    EXPECT_EQ(db().statementsRun(), queriesBefore);
}

TEST_F(Locate, QuotesInEveryBoxAreJustText)
{
    start();
    locate("12'45", "S'T", "0");
    EXPECT_EQ(messages.texts(), std::vector<std::string>{"Cannot find this Job.  Try Again."});
    messages.shown.clear();
    locate("1' OR '1'='1");
    EXPECT_EQ(messages.texts(), std::vector<std::string>{"Order # length cannot exceed 9."});
}

TEST_F(Locate, SameOrderAtTheOtherLocation)
{
    start();
    locate("12345", "HM");
    EXPECT_EQ(window->txtMaterial->text(), "BRACKET-7           ");
    EXPECT_EQ(entries(*window->cmbOper), QStringList({"All", "10", "20", "30"}));
}

}  // namespace

namespace {

TEST_F(Locate, DatabaseErrorIsReportedAndLeavesTheWindowUsable)
{
    start();
    db().close();
    db().connectionString = "DSN=travcard_no_such_source";
    locate("12345");
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::Critical);
    EXPECT_THAT(messages.shown[0].text,
                ::testing::StartsWith(std::string(connectionLostMessage) + "\nDatabase error "));
    EXPECT_THAT(messages.shown[0].text, ::testing::HasSubstr("SQLSTATE IM002"));
    EXPECT_FALSE(window->cmdPrint->isEnabled());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(window->cmdLocate->isEnabled());
}

}  // namespace
