// travcard's sub-commands as a script runs them: the real program, with no
// display, its printer output compared with the main window's.

#include "tests/cli/sub_commands_fixture.h"

namespace {

TEST_F(SubCommands, PrintSendsTheWindowsBytesForEachPrinterAndOperation)
{
    struct Case {
        std::string type;
        QString operation;
        QString quantity;
    };
    for (const Case& run : {Case{"ZEBRA", "All", "2"}, Case{"ZEBRA", "20", "1"}, Case{"EPSON", "All", "3"},
                            Case{"EPSON", "20", "2"}}) {
        const std::string expected = windowPrints(run.type, run.operation, run.quantity);
        const std::string output = dir.file("cli.out");
        const Ended printed = travcard(QStringList{"print"} + order12345 +
                                       QStringList{"--operation", run.operation, "--quantity", run.quantity,
                                                   "--printer", QString::fromStdString(output), "--type",
                                                   QString::fromStdString(run.type).toLower()});
        EXPECT_EQ(printed.status, 0) << printed.err;
        EXPECT_EQ(printed.err, "");
        EXPECT_EQ(dir.read("cli.out"), expected) << run.type << " " << run.operation.toStdString();
    }
}

TEST_F(SubCommands, EachWayOfEndingHasItsExitStatusAndMessage)
{
    const QString missing = QString::fromStdString(dir.file("no-such-folder/lp"));
    LoopbackPrinter resets({.statusReply = {}, .closeAfter = 20'000});
    struct Case {
        QStringList arguments;
        int status;
        std::string message;
    };
    const std::vector<Case> cases{
        {QStringList{"print", "--location", "ST", "--order", "99999"}, 1, "Cannot find this Job.  Try Again.\n"},
        {QStringList{"print"} + order12345 + QStringList{"--quantity", "0"}, 1, "Specify a quantity to print.\n"},
        {QStringList{"print"} + order12345 + QStringList{"--type", "laser"}, 1,
         "The printer type laser is not known: use zebra or epson.\n"},
        {QStringList{"nested"} + order12345 + QStringList{"--operation", "all", "--part", "P", "--nested-quantity", "1"},
         1, "Cannot use nested parts form on an 'All' Operation\n"},
        {QStringList{"print", "--order", "12345"}, 2, "travcard print: --location is required\n"},
        {QStringList{"print", "--colour"}, 2, "travcard print: Unknown option 'colour'.\n"},
        {QStringList{"print"} + order12345 + QStringList{"--printer", missing}, 4,
         "The printer " + missing.toStdString() + " is not available. No such file or directory.\n"},
        {QStringList{"print"} + order12345 + QStringList{"--type", "epson", "--quantity", "50", "--printer",
                                                         QString::fromStdString(resets.address())},
         5, "of 200 pages were sent.\n"},
    };
    for (const Case& run : cases) {
        const Ended result = travcard(run.arguments);
        EXPECT_EQ(result.status, run.status) << run.arguments.join(' ').toStdString() << "\n" << result.err;
        if (run.status == 2)
            EXPECT_THAT(result.err, ::testing::StartsWith(run.message));
        else
            EXPECT_THAT(result.err, ::testing::EndsWith(run.message));
    }
    const Ended unreachable = travcard(QStringList{"print"} + order12345, odbcFolder() + "/unreachable.ini");
    EXPECT_EQ(unreachable.status, 3) << unreachable.err;
    EXPECT_THAT(unreachable.err, ::testing::StartsWith("Database error "));
}

// A caller that retries, or two that send one request at the same moment,
// get it printed once; the JSON answer is the journal's record.
TEST_F(SubCommands, ARequestIdPrintsOnceHoweverOftenItIsSent)
{
    const auto printTo = [&](const std::string& file) {
        return QStringList{"print"} + order12345 +
               QStringList{"--printer", QString::fromStdString(dir.file(file)), "--request-id", "ERP 4711", "--json"};
    };
    QProcess first;
    QProcess second;
    startProgram(first, printTo("lp1"));
    startProgram(second, printTo("lp2"));
    const std::vector<Ended> results{ended(first), ended(second)};
    const Ended retry = travcard(printTo("lp3"));

    const std::vector<RunRecord> runs = journal().runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].requestId, "ERP 4711");
    EXPECT_EQ(runs[0].source, "command line");
    EXPECT_EQ(int(std::filesystem::exists(dir.file("lp1"))) + int(std::filesystem::exists(dir.file("lp2"))), 1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("lp3")));
    EXPECT_EQ(retry.status, 0);
    EXPECT_EQ(retry.err, "Request ID was already printed as run " + std::to_string(runs[0].id) + ".\n");
    for (const Ended& result : {results[0], results[1], retry}) {
        EXPECT_TRUE(result.status == 0 || result.status == 6) << result.err;
        const QJsonObject answer = QJsonDocument::fromJson(QByteArray::fromStdString(result.out)).object();
        EXPECT_EQ(answer["run"].toInteger(), runs[0].id);
        if (result.status == 0) {  // a caller that came while the run went saw it as it was then
            EXPECT_EQ(answer["planned"].toInt(), runs[0].planned);
        }
        EXPECT_EQ(answer["in_doubt"].toInt(), runs[0].inDoubt);
    }
}

// A first try that printed nothing (the order was mistyped) does not use up
// its id, and stays in the journal as a failed run.
TEST_F(SubCommands, ARequestIdThatPrintedNothingMayBeUsedAgain)
{
    const QStringList again{"--printer", QString::fromStdString(dir.file("lp")), "--request-id", "ERP 4712"};
    EXPECT_EQ(travcard(QStringList{"print", "--location", "ST", "--order", "99999"} + again).status, 1);
    const Ended retry = travcard(QStringList{"print"} + order12345 + again);
    EXPECT_EQ(retry.status, 0) << retry.err;
    const std::vector<RunRecord> runs = journal().runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].requestId + " " + runs[0].outcome, "ERP 4712 printed");
    EXPECT_EQ(runs[1].requestId + "|" + runs[1].outcome + "|" + std::to_string(runs[1].confirmed), "|failed|0");
}

// An id is one request: the same id for another order, operation, quantity
// or printer type prints nothing, nor does one the journal could not tell
// apart from another, nor one sent to a preview, which would use it up.
TEST_F(SubCommands, ARequestIdIsRefusedForAnotherRequestForBytesThatAreNotUtf8AndForAPreview)
{
    const QStringList toLp{"--printer", QString::fromStdString(dir.file("lp"))};
    const QStringList toLp2{"--printer", QString::fromStdString(dir.file("lp2"))};
    const QStringList id{"--request-id", "ERP 4713"};
    ASSERT_EQ(travcard(QStringList{"print"} + order12345 + toLp + id).status, 0);
    const std::string run = std::to_string(journal().runs().front().id);
    const std::string usedFor = "Request ID ERP 4713 was used for order 12345/0.\n";
    const std::string notUtf8 = "The request ID is not valid UTF-8 text, so it cannot be told apart from others.\n";
    struct Case {
        const char* what;
        QStringList arguments;
        std::string printfBytes;  // the request id, when given as bytes
        std::string message;
    };
    const Case cases[] = {
        {"another operation", order12345 + QStringList{"--operation", "20"} + toLp2 + id, {},
         usedFor + "Run " + run + " asked for location ST, order 12345/0, operation All, quantity 1, ZEBRA printer;"
                   " this request asks for location ST, order 12345/0, operation 20, quantity 1, ZEBRA printer.\n"},
        {"another order", QStringList{"--location", "ST", "--order", "1234567"} + toLp2 + id, {}, usedFor},
        {"another suffix", order12345 + QStringList{"--suffix", "1"} + toLp2 + id, {}, usedFor},
        {"another quantity", order12345 + QStringList{"--quantity", "2"} + toLp2 + id, {}, usedFor},
        {"another printer type", order12345 + QStringList{"--type", "epson"} + toLp2 + id, {}, usedFor},
        {"a byte that is not UTF-8", order12345 + toLp2 + QStringList{"--request-id"}, "\\377", notUtf8},
        {"another such byte", order12345 + toLp2 + QStringList{"--request-id"}, "\\376", notUtf8},
        {"a preview", order12345 + QStringList{"--printer", "preview:", "--request-id", "ERP 4714"}, {},
         "A request ID cannot be used with the printer preview:, which prints nothing.\n"},
    };
    for (const Case& request : cases) {
        const QStringList arguments = QStringList{"print"} + request.arguments;
        const Ended result =
            request.printfBytes.empty() ? travcard(arguments) : travcardWithBytes(arguments, request.printfBytes);
        EXPECT_EQ(result.status, 1) << request.what;
        EXPECT_THAT(result.err, ::testing::StartsWith(request.message)) << request.what;
        EXPECT_FALSE(std::filesystem::exists(dir.file("lp2"))) << request.what;
        EXPECT_EQ(journal().runs().size(), 1u) << request.what;
    }
}

// Killed after it claimed its id and before it marked a ticket (a FIFO that
// nobody reads holds it at its printer for 2 s, after the order's lookup),
// the program leaves a claim of a process that is gone: the retry prints.
TEST_F(SubCommands, ARequestIdClaimedByAKilledProgramIsPrintedByTheRetry)
{
    const std::string fifo = dir.file("nobody-reads");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const QStringList request = QStringList{"print"} + order12345 + QStringList{"--request-id", "ERP 4715"};
    std::optional<RunRecord> claim;
    {
        QProcess killed;
        startProgram(killed, request + QStringList{"--printer", QString::fromStdString(fifo)});
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!claim && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
            if (std::filesystem::exists(dir.file("travcard/journal.sqlite")))
                claim = journal().runWithRequest("ERP 4715");
        }
        ::kill(static_cast<pid_t>(killed.processId()), SIGKILL);
        EXPECT_TRUE(killed.waitForFinished(10'000));
    }
    ASSERT_TRUE(claim);
    ASSERT_EQ(journal().run(claim->id)->ended, 0) << "killed while the run was open";
    for (const TicketRecord& ticket : journal().tickets(claim->id))
        ASSERT_EQ(ticket.state, TicketState::Planned) << "killed before a ticket was marked";

    const Ended retry = travcard(request + QStringList{"--printer", QString::fromStdString(dir.file("lp"))});
    EXPECT_EQ(retry.status, 0) << retry.err;
    EXPECT_EQ(retry.err, "");
    const std::vector<RunRecord> runs = journal().runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].requestId + " " + runs[0].outcome + " " + std::to_string(runs[0].confirmed), "ERP 4715 printed 4");
    EXPECT_EQ(runs[1].id, claim->id);
    EXPECT_EQ(runs[1].requestId + "|" + runs[1].outcome, "|interrupted");
    const Ended again = travcard(request + QStringList{"--printer", QString::fromStdString(dir.file("lp2"))});
    EXPECT_EQ(again.status, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("lp2")));
}

TEST_F(SubCommands, HistoryListsTheJournalsRunsNewestFirst)
{
    travcard(QStringList{"print"} + order12345 + QStringList{"--printer", QString::fromStdString(dir.file("lp"))});
    travcard({"print", "--location", "ST", "--order", "1234567", "--printer", QString::fromStdString(dir.file("lp"))});
    const Ended table = travcard({"history"});
    EXPECT_EQ(table.status, 0) << table.err;
    EXPECT_LT(table.out.find("1234567"), table.out.find("12345 ")) << table.out;
    const Ended lines = travcard({"history", "--order", "12345", "--json"});
    const QJsonObject run = QJsonDocument::fromJson(QByteArray::fromStdString(lines.out)).object();
    EXPECT_EQ(run["order"].toString(), "12345");
    EXPECT_EQ(run["outcome"].toString(), "printed");
    EXPECT_EQ(run["tickets"].toArray().size(), 4);
    EXPECT_EQ(run["tickets"].toArray()[3].toObject()["state"].toString(), "confirmed");
}

// SIGTERM stops the run after a whole page and ends with the count.
TEST_F(SubCommands, SigtermStopsTheRunAfterTheCurrentPage)
{
    const std::string wholeRun = windowPrints("EPSON", "All", "200");
    const std::string fifo = dir.file("slow");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FifoReader slowPrinter(fifo, 4096);
    QProcess program;
    startProgram(program, QStringList{"print"} + order12345 +
                              QStringList{"--quantity", "200", "--type", "epson", "--printer", QString::fromStdString(fifo)});
    std::this_thread::sleep_for(1s);
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    const Ended result = ended(program);
    const std::string received = slowPrinter.finish();

    EXPECT_EQ(result.status, 5);
    expectWholePagesAsCounted(received, wholeRun, result.err);
    const std::vector<RunRecord> runs = journal().runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(result.err, "Printing cancelled: " + std::to_string(runs[0].confirmed) + " of 800 pages were sent.\n");
    EXPECT_EQ(runs[0].outcome, "cancelled");
}

TEST_F(SubCommands, SetupPrinterSendsThePageLengthCommand)
{
    const Ended result = travcard({"setup-printer", "--printer", QString::fromStdString(dir.file("lp"))});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(dir.read("lp"), std::string("\x1B" "C" "\x27" "\r\n", 5));
}

}  // namespace
