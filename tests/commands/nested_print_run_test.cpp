#include "commands/nested_print_run.h"

#include "tests/fixtures/main_window_fixture.h"
#include "tickets/nested_job.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

const RecordedMessage noOperation{"An operation could not be found for this Shop Order.",
                                  MessageIcon::Critical};
const RecordedMessage noQuantity{"Specify a quantity to print.", MessageIcon::Warning};
const RecordedMessage epsonRefused{"Nested parts not designed for an EPSON printer",
                                   MessageIcon::None};

// Order 12345 at ST, suffix 0, located in the main window; its operation 20
// is MACH MILL "MILL SLOT 12 MM".
class NestedPrintRun : public MainWindowTest {
protected:
    void startLocated(const std::string& printerType = "ZEBRA")
    {
        start(printerType);
        locate("12345");
        ASSERT_TRUE(messages.shown.empty());
        queriesBefore = db().statementsRun();
    }

    AfterNestedPrint print(const MainWindowTexts& main, const NestedTexts& typed)
    {
        const NestedPrintResult result =
            printNestedTickets(db(), nestedPrintRequest(main, window->rsHDR, printer(), typed));
        messages.showAll(result.messages);
        return result.after;
    }

    bool queried() { return db().statementsRun() != queriesBefore; }

    static MainWindowTexts operation20() { return {"12345", "0", "ST", "20", "2"}; }
    static NestedTexts typed(const std::string& quantity = "25")
    {
        return {"NP-7", quantity, "ACME", "WELD", "keep dry"};
    }

    int queriesBefore = 0;
};

TEST_F(NestedPrintRun, WritesOneJobForTheMatchingOperation)
{
    startLocated();
    const AfterNestedPrint after =
        print({"12345", "0", " ST ", " 20 ", " 2 "}, {"NP-7 ", "25", "  ACME ", " WELD ", " keep dry "});

    const NestedTicketData expected{
        .location = "ST", .orderNo = "12345", .suffix = "0", .partNo = "NP-7 ", .quantity = "25",
        .operNo = "20", .dept = "MACH", .workCenter = "MILL",
        .operDescr = "MILL SLOT 12 MM               ", .customer = "ACME", .typedDept = "WELD",
        .comment = " keep dry ", .orderCode = "012345", .suffixCode = "000", .operCode = "0020",
        .labelQty = "2"};
    EXPECT_EQ(printed(), nestedJob(expected));  // one job for the quantity 25: ^PQ sets the labels
    EXPECT_EQ(after, AfterNestedPrint::KeepWindow);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(NestedPrintRun, TrimsTheMainWindowsOrderAndSuffixForTheQuery)
{
    startLocated();
    print({" 12345 ", " 1 ", "ST", "10", "1"}, typed());
    // Suffix 1 of the order: its operation 10 is MACH MILL "REWORK SLOT".
    EXPECT_THAT(printed(), HasSubstr("^FDDEPT: MACH MILL^FS"));
    EXPECT_THAT(printed(), HasSubstr("^FDREWORK SLOT"));
    // The typed texts fill the barcode with zeros by their length, blanks counted.
    EXPECT_THAT(printed(), HasSubstr("^FD12345-1^FS"));
}

TEST_F(NestedPrintRun, AnEmptyLabelCountInTheMainWindowIsWrittenAsItStands)
{
    startLocated();
    MainWindowTexts main = operation20();
    main.labelQty = "";
    print(main, typed());
    EXPECT_THAT(printed(), HasSubstr("\r\n^PQ,0,0,N\r\n"));
}

TEST_F(NestedPrintRun, ACaretTypedIntoTheCommentCannotStartACommand)
{
    startLocated();
    NestedTexts texts = typed();
    texts.comment = "^XZ";
    print(operation20(), texts);
    EXPECT_THAT(printed(), HasSubstr("\r\n^FO203,290^A0R,51,33^CI13^FR^FH^FD_5EXZ^FS\r\n"));
}

TEST_F(NestedPrintRun, ShowsTheEpsonMessageForEveryCopyAndWritesNothing)
{
    startLocated("EPSON");
    EXPECT_EQ(print(operation20(), typed("3")), AfterNestedPrint::KeepWindow);
    EXPECT_THAT(messages.shown, ElementsAre(epsonRefused, epsonRefused, epsonRefused));
    EXPECT_TRUE(printerFileExists());  // opened and closed all the same
    EXPECT_EQ(printed(), "");
}

TEST_F(NestedPrintRun, ReportsAPrinterThatCannotBeOpenedAfterTheQuery)
{
    startLocated();
    printer().name = dir.file("no such folder/lp 0");
    EXPECT_EQ(print(operation20(), typed()), AfterNestedPrint::KeepWindow);
    EXPECT_THAT(messages.shown, ElementsAre(RecordedMessage{
                                    "The printer " + printer().name +
                                        " is not available.\nNo such file or directory.",
                                    MessageIcon::None}));
    EXPECT_TRUE(queried());
}

TEST_F(NestedPrintRun, ReportsAFailedWrite)
{
    startLocated();
    printer().name = "/dev/full";
    print(operation20(), typed());
    EXPECT_THAT(messages.texts(),
                ElementsAre("The printer /dev/full is not available.\nNo space left on device.\n"
                            "0 of 1 tickets were sent."));
}

TEST_F(NestedPrintRun, RefusesWhenALaterLocateFoundNoOrder)
{
    startLocated();
    locate("99999");
    messages.shown.clear();
    queriesBefore = db().statementsRun();
    EXPECT_EQ(print(operation20(), typed()), AfterNestedPrint::KeepWindow);
    EXPECT_THAT(messages.shown, ElementsAre(RecordedMessage{"Cannot find this Job.  Try Again.",
                                                            MessageIcon::Critical}));
    EXPECT_FALSE(queried());
    EXPECT_FALSE(printerFileExists());
}

// A run that stops before anything is opened.
struct Refusal {
    const char* name;
    MainWindowTexts main;
    std::string quantity;  // this window's
    RecordedMessage message;
    AfterNestedPrint after;
    bool queried;
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

const MainWindowTexts op20{"12345", "0", "ST", "20", "2"};
const AfterNestedPrint keep = AfterNestedPrint::KeepWindow;
const AfterNestedPrint discard = AfterNestedPrint::DiscardWindow;

class NestedPrintRefusal : public NestedPrintRun, public ::testing::WithParamInterface<Refusal> {};

TEST_P(NestedPrintRefusal, ShowsItsMessageAndWritesNothing)
{
    const Refusal& refusal = GetParam();
    startLocated();
    EXPECT_EQ(print(refusal.main, typed(refusal.quantity)), refusal.after);
    EXPECT_THAT(messages.shown, ElementsAre(refusal.message));
    EXPECT_EQ(queried(), refusal.queried);
    EXPECT_FALSE(printerFileExists());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NestedPrintRefusal,
    ::testing::Values(
        Refusal{"EmptyQuantity", op20, "", noQuantity, keep, false},
        Refusal{"ZeroQuantity", op20, "0.0", noQuantity, keep, false},
        Refusal{"QuantityNotANumber", op20, "abc", noQuantity, keep, false},
        Refusal{"QuantityWithTrailingText", op20, "12abc", noQuantity, keep, false},
        Refusal{"QuantityBeyond16Bits", op20, "40000", noQuantity, keep, false},
        Refusal{"SubcontractOperation", {"12345", "0", "ST", "30", "2"}, "1", noOperation, discard, true},
        Refusal{"OperationAll", {"12345", "0", "ST", "All", "2"}, "1", noOperation, discard, false},
        Refusal{"OperationNotANumber", {"12345", "0", "ST", "2O", "2"}, "1", noOperation, discard, false},
        Refusal{"SuffixNotANumber", {"12345", "O", "ST", "20", "2"}, "1", noOperation, discard, false},
        Refusal{"OrderTooLongForItsKey", {"1234567890", "0", "ST", "20", "2"}, "1", noOperation,
                discard, false},
        Refusal{"ApostropheInLocation", {"12345", "0", "S'T", "20", "2"}, "1", noOperation, discard,
                true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
