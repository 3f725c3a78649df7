// What a station with no operator does with a run from the command line:
// finish it, print tickets again, and read each outcome's reason.

#include "tests/cli/sub_commands_fixture.h"

namespace {

QJsonObject answerOf(const Ended& ended) { return QJsonDocument::fromJson(QByteArray::fromStdString(ended.out)).object(); }

class Unattended : public SubCommands {
protected:
    QStringList epsonTo(const std::string& file) const
    {
        return {"--type", "epson", "--printer", QString::fromStdString(dir.file(file))};
    }
};

// A run cut by a printer reset, finished by `rest`: the new printer gets
// exactly the pages that were not confirmed, laid out as a run of their own
// starts; the request is then printed, and asking again prints nothing.
TEST_F(Unattended, RestFinishesAStoppedRequestWithJustThePagesThatDidNotPrint)
{
    const auto pages = windowPages("50");
    LoopbackPrinter resets({.statusReply = {}, .closeAfter = 20'000});
    const QStringList request = QStringList{"print"} + order12345 +
                                QStringList{"--type", "epson", "--quantity", "50", "--request-id", "ERP 4720"};
    ASSERT_EQ(travcard(request + QStringList{"--printer", QString::fromStdString(resets.address())}).status, 5);
    const RunRecord cut = *journal().runWithRequest("ERP 4720");
    ASSERT_GT(cut.inDoubt, 0) << "a reset leaves pages the printer did not acknowledge";

    const QStringList rest{"rest", "--request-id", "ERP 4720", "--json"};
    const Ended unsaid = travcard(rest + epsonTo("unsaid"));
    EXPECT_EQ(unsaid.status, 1);
    EXPECT_EQ(answerOf(unsaid)["reason"].toString(), "in_doubt_unresolved");
    EXPECT_THAT(unsaid.err, ::testing::StartsWith(std::to_string(cut.inDoubt) + " tickets of run " +
                                                  std::to_string(cut.id) + " may already have printed."));
    EXPECT_FALSE(std::filesystem::exists(dir.file("unsaid")));

    const Ended finished = travcard(rest + QStringList{"--in-doubt", "print"} + epsonTo("rest"));
    EXPECT_EQ(finished.status, 0) << finished.err;
    const std::size_t from = static_cast<std::size_t>(cut.confirmed);
    std::string expected;
    for (std::size_t page = from; page < pages[0].size(); ++page)
        expected += pages[from % 2][page];  // the rest's first page is laid out as a run's first
    EXPECT_EQ(dir.read("rest"), expected);

    const Ended retry =
        travcard(request + QStringList{"--printer", QString::fromStdString(resets.address()), "--json"});
    EXPECT_EQ(retry.status, 0) << retry.err;
    EXPECT_EQ(answerOf(retry)["reason"].toString(), "already_printed");
    EXPECT_EQ(travcard(rest + epsonTo("again")).status, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("again")));
}

// Run 1 of 4 pages confirmed and 3 in doubt: the caller takes those as
// printed. The skipped rest is recorded, so that the request counts as
// printed and nothing prints those pages later, whatever is asked.
TEST_F(Unattended, SkippingTheTicketsInDoubtFinishesTheRequest)
{
    RunStart start;
    start.source = "command line";
    start.requestId = "ERP 4730";
    start.location = "ST";
    start.order = "12345";
    start.suffix = "0";
    start.operation = "All";
    start.quantity = "1";
    start.printer = dir.file("retry");
    start.printerType = "EPSON";
    const std::string sha256(32, 'h');
    {
        Journal cut = journal();
        const std::int64_t run = cut.startRun(start, {{"10", 4, "kept"}});
        cut.sending(run, 0, 1, {{"10", 1, 1, sha256}, {"10", 2, 1, sha256}, {"10", 3, 1, sha256}, {"10", 4, 1, sha256}});
        cut.endRun(run, RunOutcome::Failed, 1, "The printer reset the connection.");
    }
    const QStringList rest{"rest", "--request-id", "ERP 4730", "--json"};
    const Ended skipped = travcard(rest + QStringList{"--in-doubt", "skip"} + epsonTo("skipped"));
    EXPECT_EQ(skipped.status, 0) << skipped.err;
    EXPECT_EQ(answerOf(skipped)["reason"].toString(), "already_printed");
    const Ended retry = travcard(QStringList{"print", "--json"} + order12345 +
                                 QStringList{"--request-id", "ERP 4730"} + epsonTo("retry"));
    EXPECT_EQ(retry.status, 0) << retry.err;
    EXPECT_EQ(travcard(rest + QStringList{"--in-doubt", "print"} + epsonTo("again")).status, 0);
    for (const char* file : {"skipped", "retry", "again"})
        EXPECT_FALSE(std::filesystem::exists(dir.file(file))) << file;
}

// With a request id, a retried reprint prints nothing again.
TEST_F(Unattended, ReprintPrintsEachChosenTicketAsManyTimesAsAsked)
{
    const auto pages = windowPages("1");
    ASSERT_EQ(travcard(QStringList{"print"} + order12345 + epsonTo("run")).status, 0);
    const std::string run = std::to_string(journal().runs().front().id);
    const QStringList reprint{"reprint", "--run", QString::fromStdString(run), "--ticket", "2,4", "--copies", "2",
                              "--request-id", "ERP R-1", "--json"};
    const Ended again = travcard(reprint + epsonTo("reprint"));
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(dir.read("reprint"), pages[1][1] + pages[0][1] + pages[1][3] + pages[0][3]);
    std::filesystem::remove(dir.file("reprint"));
    const Ended retry = travcard(reprint + epsonTo("reprint"));
    EXPECT_EQ(retry.status, 0) << retry.err;
    EXPECT_NE(retry.out.find("\"already_printed\""), std::string::npos) << retry.out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("reprint")));
}

// Two programs finishing one run at once: one prints the rest, the other
// is told the rest is printing (6) or printed (0), and prints nothing.
TEST_F(Unattended, TwoRestsOfOneRunPrintItOnce)
{
    LoopbackPrinter resets({.statusReply = {}, .closeAfter = 20'000});
    ASSERT_EQ(travcard(QStringList{"print"} + order12345 +
                       QStringList{"--type", "epson", "--quantity", "20", "--printer",
                                   QString::fromStdString(resets.address())})
                  .status,
              5);
    const std::string run = std::to_string(journal().runs().front().id);
    QProcess first;
    QProcess second;
    const QStringList rest{"rest", "--run", QString::fromStdString(run), "--in-doubt", "skip"};
    startProgram(first, rest + epsonTo("first"));
    startProgram(second, rest + epsonTo("second"));
    const Ended ends[] = {ended(first), ended(second)};
    EXPECT_EQ(std::filesystem::exists(dir.file("first")) + std::filesystem::exists(dir.file("second")), 1);
    for (const Ended& end : ends)
        EXPECT_TRUE(end.status == 0 || end.status == 6) << end.err;
    EXPECT_EQ(journal().runs().size(), 2u);
}

// A request id held by a run that is printing now: try again later (6).
TEST_F(Unattended, ARequestPrintingElsewhereAnswersSix)
{
    LoopbackPrinter slow({.statusReply = {}, .bytesPerSecond = 8192});
    const QStringList request = QStringList{"print"} + order12345 +
                                QStringList{"--type", "epson", "--quantity", "50", "--request-id", "ERP 4721"};
    QProcess printing;
    startProgram(printing, request + QStringList{"--printer", QString::fromStdString(slow.address())});
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (slow.taken() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    const Ended elsewhere =
        travcard(request + QStringList{"--printer", QString::fromStdString(slow.address()), "--json"});
    ::kill(static_cast<pid_t>(printing.processId()), SIGTERM);
    EXPECT_EQ(ended(printing).status, 5);
    EXPECT_EQ(elsewhere.status, 6) << elsewhere.err;
    EXPECT_EQ(answerOf(elsewhere)["reason"].toString(), "request_in_progress");
}

// Every way a sub-command ends, as a script reads it: the exit status and
// the reason of the JSON answer, also for a wrong command line.
TEST_F(Unattended, EveryOutcomeHasItsStatusAndReason)
{
    ASSERT_EQ(travcard(QStringList{"print"} + order12345 + epsonTo("lp")).status, 0);
    const QString run = QString::number(journal().runs().front().id);
    const QString missing = QString::fromStdString(dir.file("no-such-folder/lp"));
    struct Case {
        QStringList arguments;
        int status;
        const char* reason;
    };
    const Case cases[] = {
        {QStringList{"print"} + order12345 + epsonTo("lp2"), 0, "printed"},
        {{"print", "--location", "ST", "--order", "99999"}, 1, "not_found"},
        {QStringList{"print"} + order12345 + QStringList{"--type", "laser"}, 1, "bad_option"},
        {QStringList{"print", "--order", "12345"}, 2, "bad_option"},
        {QStringList{"print", "--colour"}, 2, "bad_option"},
        {QStringList{"print"} + order12345 + QStringList{"--printer", missing}, 4, "printer_unavailable"},
        {QStringList{"print"} + order12345 + QStringList{"--request-id", ""}, 1, "bad_request_id"},
        {{"rest", "--run", "999"}, 1, "not_found"},
        {{"rest", "--run", run}, 0, "already_printed"},
        {{"rest", "--run", "x"}, 2, "bad_option"},
        {{"reprint", "--run", run, "--operation", "77"}, 1, "not_found"},
        {{"reprint", "--run", run, "--ticket", "9"}, 1, "not_found"},
        {{"reprint", "--run", run, "--ticket", "1", "--copies", "0"}, 1, "bad_quantity"},
    };
    for (const Case& end : cases) {
        const Ended result = travcard(end.arguments + QStringList{"--json"});
        const QString said = end.arguments.join(' ');
        EXPECT_EQ(result.status, end.status) << said.toStdString() << "\n" << result.err;
        EXPECT_EQ(answerOf(result)["reason"].toString(), end.reason) << said.toStdString();
        EXPECT_EQ(answerOf(result)["exit_status"].toInt(), end.status) << said.toStdString();
    }
    const Ended unreachable = travcard(QStringList{"print", "--json"} + order12345, odbcFolder() + "/unreachable.ini");
    EXPECT_EQ(unreachable.status, 3);
    EXPECT_EQ(answerOf(unreachable)["reason"].toString(), "database_unreachable");
}

// The nested-part card is made for Zebra printers: a station whose printer
// is an EPSON is told so, and nothing is printed.
TEST_F(Unattended, ANestedCardForAnEpsonStationIsRefusedAsSuch)
{
    ScratchDir station;
    installProgram(station, "PRINTER=" + station.file("lp") + "\nPRTTYPE=EPSON\n");
    QProcess program;
    startProgram(program,
                 QStringList{"nested", "--json", "--operation", "20", "--part", "P", "--nested-quantity", "1"} +
                     order12345,
                 {}, station.file("travcard"));
    const Ended refused = ended(program);
    EXPECT_EQ(refused.status, 1) << refused.err;
    EXPECT_EQ(answerOf(refused)["reason"].toString(), "wrong_printer_type");
    EXPECT_EQ(refused.err, "Nested parts not designed for an EPSON printer\n");
    EXPECT_FALSE(std::filesystem::exists(station.file("lp")) && std::filesystem::file_size(station.file("lp")) > 0);
}

// So is a reprint of nested-part labels, before the printer is opened: a
// script reads why, not a printer fault, and may send the id again elsewhere.
TEST_F(Unattended, NestedLabelsReprintedOnAnEpsonAreRefusedAsSuch)
{
    // The station's own printer is a Zebra.
    const QStringList card{"nested", "--operation", "20", "--part", "P", "--nested-quantity", "1"};
    ASSERT_EQ(travcard(card + order12345).status, 0);
    const QString run = QString::number(journal().runs().front().id);
    const QStringList reprint{"reprint", "--json", "--run", run, "--ticket", "1", "--request-id", "ERP R-9"};
    const Ended refused = travcard(reprint + epsonTo("reprint"));
    EXPECT_EQ(refused.status, 1) << refused.err;
    EXPECT_EQ(answerOf(refused)["reason"].toString(), "wrong_printer_type");
    EXPECT_EQ(refused.err, "Nested parts not designed for an EPSON printer\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("reprint")));
    const Ended elsewhere = travcard(reprint + QStringList{"--type", "zebra", "--printer",
                                                           QString::fromStdString(dir.file("again"))});
    EXPECT_EQ(elsewhere.status, 0) << elsewhere.err;
    EXPECT_EQ(dir.read("again"), programDir->read("default.out"));
}

// A script's quantity is a whole number from 1 to 32767, written as such:
// anything else prints nothing, whatever the window would make of it.
TEST_F(Unattended, AQuantityIsAWholeNumberAsTyped)
{
    for (const QString quantity : {"-1", "2.5", "1e3", "+3", " 3", "0", "32768", "", "3x"}) {
        const Ended refused = travcard(QStringList{"print", "--json", "--quantity", quantity} + order12345 + epsonTo("lp"));
        EXPECT_EQ(refused.status, 1) << quantity.toStdString();
        EXPECT_EQ(refused.err, "Specify a quantity to print.\n") << quantity.toStdString();
        EXPECT_EQ(answerOf(refused)["reason"].toString(), "bad_quantity");
        EXPECT_FALSE(std::filesystem::exists(dir.file("lp"))) << quantity.toStdString();
    }
    EXPECT_EQ(travcard(QStringList{"print", "--quantity", "32767"} + order12345 +
                       QStringList{"--operation", "10", "--printer", QString::fromStdString(dir.file("lp"))})
                  .status,
              0);
}

}  // namespace
