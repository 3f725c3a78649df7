#include "commands/print_run.h"

#include "tests/fixtures/main_window_fixture.h"

#include <QGuiApplication>

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::size_t countOf(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// The field data of every line that starts with prefix, in the order printed.
std::vector<std::string> fields(const std::string& jobs, const std::string& prefix)
{
    std::vector<std::string> found;
    for (auto at = jobs.find(prefix); at != std::string::npos; at = jobs.find(prefix, at + 1)) {
        const auto start = at + prefix.size();
        found.push_back(jobs.substr(start, jobs.find("^FS", start) - start));
    }
    return found;
}

class PrintRun : public MainWindowTest {
protected:
    void locateAndPrint(const QString& order, const QString& location, const QString& operation,
                        const QString& quantity)
    {
        locate(order, location);
        ASSERT_TRUE(messages.shown.empty()) << messages.shown.front().text;
        print(operation, quantity);
    }

    std::vector<std::string> nextOperations() const
    {
        return fields(printed(), "^FO204,61^A0R,51,33^CI13^FR^FDNEXT OPER: ");
    }
    std::vector<std::string> operations() const
    {
        return fields(printed(), "^FO384,61^A0R,51,33^CI13^FR^FDOPERATION NO: ");
    }
};

TEST_F(PrintRun, AllWritesOneJobPerPrintableOperationWithItsSuccessor)
{
    start();
    locateAndPrint("12345", "ST", "All", "2");
    EXPECT_TRUE(messages.shown.empty());
    const std::string jobs = printed();
    EXPECT_EQ(countOf(jobs, "^PQ2,0,0,N\r\n"), 4u);
    EXPECT_EQ(operations(), (std::vector<std::string>{"10", "20", "40", "50"}));
    EXPECT_EQ(nextOperations(), (std::vector<std::string>{"20", "30", "50", "DONE"}))
        << "the type S operation 30 follows 20";
    EXPECT_THAT(jobs, HasSubstr("^FDDEPT: OUTS VEND^FS"));
    EXPECT_THAT(jobs, HasSubstr("^FDORDER NO: ST / 12345 / 0^FS"));
    EXPECT_THAT(jobs, HasSubstr("^FD012345-000^FS"));
    EXPECT_THAT(jobs, HasSubstr("^FDCUSTOMER: ACME      ^FS"));
    EXPECT_THAT(jobs, HasSubstr("^FDQUANTITY: 25.0^FS"));
    EXPECT_FALSE(window->cmdNestedParts->isEnabled());
    EXPECT_TRUE(window->cmdPrint->isEnabled());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(PrintRun, OneOperationBySelectedEntryOrTypedText)
{
    start();
    locate("12345");
    window->cmbOper->setCurrentIndex(2);  // "20"
    window->txtQty->setText("1");
    press(window->cmdPrint);
    EXPECT_EQ(operations(), std::vector<std::string>{"20"});

    print(" 40 ", "1");
    EXPECT_EQ(operations(), std::vector<std::string>{"40"});

    print("all", "1");
    EXPECT_THAT(messages.texts(), ElementsAre("There are no Operations for this Shop Order."))
        << "only the exact text All prints every operation";
}

TEST_F(PrintRun, SuccessorSkipsHelpRowsAndRepeatedOperations)
{
    start();
    locateAndPrint("23456", "ST", "All", "1");
    EXPECT_EQ(operations(), (std::vector<std::string>{"10", "20", "20", "30", "40"}));
    EXPECT_EQ(nextOperations(), (std::vector<std::string>{"20", "30", "30", "DONE", "DONE"}));
    EXPECT_EQ(fields(printed(), "^FO260,416^A0R,51,33^CI13^FR^FDDEPT: ").front(), "MACH HELP");
}

TEST_F(PrintRun, NullWorkCentreNeverMatchesAndNullsPrintEmpty)
{
    start();
    locateAndPrint("456789", "HM", "All", "1");
    EXPECT_EQ(nextOperations(), (std::vector<std::string>{"20", "DONE", "40", "DONE"}));
    const std::string jobs = printed();
    EXPECT_THAT(jobs, HasSubstr("^FDDEPT: QC   ^FS")) << "QC  , one space and an empty ID_WC";
    EXPECT_THAT(jobs, HasSubstr("^FO340,80^A0R,51,33^CI13^FR^FD^FS")) << "NULL description";
}

class RefusedQuantity : public PrintRun, public ::testing::WithParamInterface<const char*> {};

TEST_P(RefusedQuantity, WarnsAndOpensNothing)
{
    start();
    locateAndPrint("12345", "ST", "All", GetParam());
    EXPECT_THAT(messages.shown, ElementsAre(RecordedMessage{"Specify a quantity to print.",
                                                            MessageIcon::Warning}));
    EXPECT_FALSE(printerFileExists());
}

INSTANTIATE_TEST_SUITE_P(Texts, RefusedQuantity,
                         ::testing::Values("", "0", "0.0", "abc", "12abc", "40000", "1e999"));

TEST_F(PrintRun, NoOperationRowsIsAnErrorBeforeTheQuantityCheck)
{
    start();
    locateAndPrint("12345", "ST", "30", "");
    EXPECT_THAT(messages.shown,
                ElementsAre(RecordedMessage{"There are no Operations for this Shop Order.",
                                            MessageIcon::Critical}));
    EXPECT_FALSE(printerFileExists());
}

TEST_F(PrintRun, UnopenablePrinterIsNamedAndNothingMoreIsQueried)
{
    start();
    locate("12345");
    printer().name = dir.file("missing folder/lp0");
    print("All", "1");
    EXPECT_THAT(messages.shown,
                ElementsAre(RecordedMessage{"The printer " + printer().name +
                                                " is not available.\nNo such file or directory.",
                                            MessageIcon::None}));
    EXPECT_THAT(db().lastStatement(), HasSubstr("TYPE_OPER <> 'S'")) << "the operations query ran last";
}

TEST_F(PrintRun, PartMissingFromTheItemMasterLeavesTheDeviceEmptyAndReusable)
{
    start();
    locateAndPrint("501", "HM", "All", "1");
    EXPECT_THAT(messages.shown,
                ElementsAre(RecordedMessage{
                    "The item GHOST-PART-9         is not defined in the Item Master. Seek Help.",
                    MessageIcon::Critical}));
    EXPECT_TRUE(printerFileExists());
    EXPECT_EQ(printed(), "");
    messages.shown.clear();
    locateAndPrint("12345", "ST", "All", "1");
    EXPECT_EQ(operations().size(), 4u) << "the device opens again";
}

TEST_F(PrintRun, HeaderComesFromLocateWhileOperationsAndBarcodesComeFromTheBoxes)
{
    start();
    locate("12345");
    window->txtSuffix->setText("1");
    print("All", "2.5");
    const std::string jobs = printed();
    EXPECT_EQ(operations(), (std::vector<std::string>{"10", "20"})) << "suffix 1's routing";
    EXPECT_EQ(countOf(jobs, "^FDORDER NO: ST / 12345 / 0^FS"), 2u);
    EXPECT_EQ(countOf(jobs, "^FD012345-001^FS"), 2u);
    EXPECT_EQ(countOf(jobs, "^PQ2.5,0,0,N"), 2u);
}

TEST_F(PrintRun, NegativeQuantityStillPrintsOneJobPerOperation)
{
    start();
    locateAndPrint("12345", "ST", "All", "-2");
    EXPECT_EQ(countOf(printed(), "^PQ-2,0,0,N\r\n"), 4u);
}

TEST_F(PrintRun, QuotesInEveryBoxAreJustText)
{
    start();
    locate("12345");
    window->txtOrder->setText("12'45");
    window->cmbLocation->setCurrentText("S'T");
    print("All", "1");
    EXPECT_THAT(messages.texts(), ElementsAre("There are no Operations for this Shop Order."));
    messages.shown.clear();
    window->txtOrder->setText("12345");
    window->cmbLocation->setCurrentText("ST");
    print("2'0", "1");
    EXPECT_THAT(messages.texts(), ElementsAre("There are no Operations for this Shop Order."));
    messages.shown.clear();
    window->txtSuffix->setText("0 or 1=1");
    print("All", "1'");
    EXPECT_THAT(messages.texts(), ElementsAre("There are no Operations for this Shop Order."));
}

TEST_F(PrintRun, CaretTildeAndUmlautsFromTheDatabaseReachThePrinterSafely)
{
    start();
    locateAndPrint("123456789", "HM", "100", "1");
    EXPECT_THAT(printed(), HasSubstr("^FR^FH^FDASSEMBLE _5E PRESS BEARINGS     ^FS\r\n"));
    EXPECT_THAT(printed(), HasSubstr("^FD123456789-000^FS")) << "no zeros for a long order";

    locateAndPrint("12345", "HM", "20", "1");
    EXPECT_THAT(printed(), HasSubstr("^FR^FH^FDDRILL 4 HOLES _7E6.5 MM         ^FS\r\n"));

    locateAndPrint("31415", "HM", "10", "1");
    EXPECT_THAT(printed(), HasSubstr("^FDPART NO: M\x9aLLER-HALTER-3     ^FS"));
    EXPECT_THAT(printed(), HasSubstr("^FDCUSTOMER: M\x9aLLER    ^FS"));
    EXPECT_THAT(printed(), HasSubstr("^FDS\x8eGEN AUF L\x8eNGE               ^FS"));
}

TEST_F(PrintRun, SecondPressDuringARunIsIgnored)
{
    start();
    locate("12345");
    window->cmbOper->setCurrentText("All");
    window->txtQty->setText("1");
    window->cmdPrint->click();
    window->cmdPrint->click();  // both while the run goes on
    window->cmdLocate->click();
    waitForCommand();
    EXPECT_EQ(db().lastStatement(),
              "select * from PUBLIC.SHPORD_OPER where ID_SO = ? and ID_LOC = ? and SUFX_SO = ?")
        << "no Locate ran inside the print run";
    EXPECT_EQ(operations().size(), 4u);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(PrintRun, FailedWriteIsReportedWithTheCount)
{
    start();
    locate("12345");
    printer().name = "/dev/full";
    print("All", "1");
    EXPECT_THAT(messages.texts(),
                ElementsAre("The printer /dev/full is not available.\nNo space left on device.\n"
                            "0 of 4 tickets were sent."));
}

}  // namespace

namespace {

TEST_F(PrintRun, DatabaseErrorIsReportedAndNothingIsOpened)
{
    start();
    locate("12345");
    db().close();
    db().connectionString = "DSN=travcard_no_such_source";
    print("All", "1");
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::Critical);
    EXPECT_THAT(messages.shown[0].text, HasSubstr("SQLSTATE IM002"));
    EXPECT_FALSE(printerFileExists());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

}  // namespace
