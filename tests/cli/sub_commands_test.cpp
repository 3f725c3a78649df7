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
         5, "pages reached the printer; the printer dropped the connection, so any of them may be lost.\n"},
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
// get it printed once (the printer, a FIFO, keeps every byte of every run);
// the JSON answer is the journal's record.
TEST_F(SubCommands, ARequestIdPrintsOnceHoweverOftenItIsSent)
{
    const std::string once = windowPrints("ZEBRA", "All", "1");
    const std::string fifo = dir.file("lp");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FifoReader printer(fifo, 1 << 20, 1ms);
    const QStringList request =
        QStringList{"print"} + order12345 +
        QStringList{"--printer", QString::fromStdString(fifo), "--request-id", "ERP 4711", "--json"};
    QProcess first;
    QProcess second;
    startProgram(first, request);
    startProgram(second, request);
    const std::vector<Ended> results{ended(first), ended(second)};
    const Ended retry = travcard(request);

    const std::vector<RunRecord> runs = journal().runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].requestId, "ERP 4711");
    EXPECT_EQ(runs[0].source, "command line");
    EXPECT_EQ(printer.finish(), once);
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

// An id is one request: the same id for anything that changes the bytes or
// where they go prints nothing, nor does one the journal could not tell
// apart from another, one with characters that cannot be seen, or one sent
// to a preview, which would use it up. Padded, it is the same id; an emoji
// is a character like any other.
TEST_F(SubCommands, ARequestIdIsBoundToItsWholeRequestTrimmedAndMadeOfPrintableCharacters)
{
    const QString lp = QString::fromStdString(dir.file("lp"));
    const QStringList toLp{"--printer", lp};
    const QStringList id{"--request-id", "ERP 4713"};
    ASSERT_EQ(travcard(QStringList{"print"} + order12345 + toLp + id).status, 0);
    std::filesystem::remove(dir.file("lp"));  // a request printed again would make it anew
    const std::string run = std::to_string(journal().runs().front().id);
    const std::string usedFor = "Request ID ERP 4713 was used for order 12345/0.\n";
    const std::string notUtf8 = "The request ID is not valid UTF-8 text, so it cannot be told apart from others.\n";
    const std::string unseen = "The request ID holds a character that cannot be printed";
    struct Case {
        const char* what;
        QStringList arguments;
        std::string printfBytes;  // the request id, when given as bytes
        std::string message;
    };
    const Case cases[] = {
        {"another operation", order12345 + QStringList{"--operation", "20"} + toLp + id, {},
         usedFor + "Run " + run + " asked for operation All; this request asks for operation 20.\n"},
        {"another order", QStringList{"--location", "ST", "--order", "1234567"} + toLp + id, {}, usedFor},
        {"another suffix", order12345 + QStringList{"--suffix", "1"} + toLp + id, {}, usedFor},
        {"another quantity", order12345 + QStringList{"--quantity", "2"} + toLp + id, {}, usedFor},
        {"another printer type", order12345 + QStringList{"--type", "epson"} + toLp + id, {}, usedFor},
        {"another printer", order12345 + QStringList{"--printer", QString::fromStdString(dir.file("lp2"))} + id, {},
         usedFor + "Run " + run + " asked for printer " + lp.toStdString() + "; this request asks for printer " +
             dir.file("lp2") + ".\n"},
        {"another resolution", order12345 + QStringList{"--dpi", "300"} + toLp + id, {},
         usedFor + "Run " + run + " asked for resolution 203 dpi; this request asks for resolution 300 dpi.\n"},
        {"a byte that is not UTF-8", order12345 + toLp + QStringList{"--request-id"}, "\\377", notUtf8},
        {"another such byte", order12345 + toLp + QStringList{"--request-id"}, "\\376", notUtf8},
        {"a zero-width space", order12345 + toLp + QStringList{"--request-id", QString::fromUtf8("ERP\u200B4713")}, {},
         unseen},
        {"a right-to-left override", order12345 + toLp + QStringList{"--request-id", QString::fromUtf8("ERP \u202E3174")},
         {}, unseen},
        {"a preview", order12345 + QStringList{"--printer", "preview:", "--request-id", "ERP 4714"}, {},
         "A request ID cannot be used with the printer preview:, which prints nothing.\n"},
    };
    for (const Case& request : cases) {
        const QStringList arguments = QStringList{"print"} + request.arguments;
        const Ended result =
            request.printfBytes.empty() ? travcard(arguments) : travcardWithBytes(arguments, request.printfBytes);
        EXPECT_EQ(result.status, 1) << request.what;
        EXPECT_THAT(result.err, ::testing::StartsWith(request.message)) << request.what;
        EXPECT_FALSE(std::filesystem::exists(dir.file("lp")) || std::filesystem::exists(dir.file("lp2")))
            << request.what;
        EXPECT_EQ(journal().runs().size(), 1u) << request.what;
    }

    const Ended padded = travcard(QStringList{"print"} + order12345 + toLp + QStringList{"--request-id", "  ERP 4713 "});
    EXPECT_EQ(padded.status, 0);
    EXPECT_EQ(padded.err, "Request ID was already printed as run " + run + ".\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("lp")));
    const QStringList emoji{"--request-id", QString::fromUtf8("ERP \U0001F5A8 4716")};
    const QStringList toLp3{"--printer", QString::fromStdString(dir.file("lp3"))};
    const Ended printable = travcard(QStringList{"print"} + order12345 + toLp3 + emoji);
    EXPECT_EQ(printable.status, 0) << printable.err;
    EXPECT_EQ(journal().runs().front().requestId, "ERP \U0001F5A8 4716");
}

// A nested-part card's id binds the card's own fields as well, and a card is
// not the order's travel cards.
TEST_F(SubCommands, ANestedCardsRequestIdBindsItsFields)
{
    const QStringList card = QStringList{"nested"} + order12345 +
                             QStringList{"--operation", "20", "--part", "P-7", "--nested-quantity", "3", "--customer",
                                         "ACME", "--dept", "D4", "--comment", "rush", "--request-id", "ERP 4718"};
    ASSERT_EQ(travcard(card).status, 0);
    const std::pair<QString, QString> changes[] = {{"--part", "P-8"},        {"--nested-quantity", "4"},
                                                   {"--customer", "ACME Ltd"}, {"--dept", "D5"},
                                                   {"--comment", "rush, by noon"}};
    for (const auto& [option, value] : changes) {
        QStringList other = card;
        other[other.indexOf(option) + 1] = value;
        const Ended result = travcard(other);
        EXPECT_EQ(result.status, 1) << option.toStdString();
        EXPECT_THAT(result.err, ::testing::EndsWith(value.toStdString() + "\".\n")) << option.toStdString();
    }
    const Ended travelCards = travcard(QStringList{"print"} + order12345 +
                                       QStringList{"--operation", "20", "--request-id", "ERP 4718"});
    EXPECT_EQ(travelCards.status, 1);
    EXPECT_THAT(travelCards.err, ::testing::EndsWith("; this request does not.\n"));
    const Ended again = travcard(card);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(journal().runs().size(), 1u);
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
    std::filesystem::remove(dir.file("lp"));
    const Ended again = travcard(request + QStringList{"--printer", QString::fromStdString(dir.file("lp"))});
    EXPECT_EQ(again.status, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("lp")));
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

// A closed terminal (SIGHUP) stops a print as SIGTERM does; a command that
// prints nothing ends at once, as the signal says.
TEST_F(SubCommands, HangupStopsAPrintAndASignalEndsACommandThatPrintsNothing)
{
    LoopbackPrinter slow({.statusReply = {}, .bytesPerSecond = 8192});
    LoopbackPrinter silent({.statusReply = {}});  // never answers the status query
    QProcess printing;
    QProcess checking;
    startProgram(printing, QStringList{"print"} + order12345 +
                               QStringList{"--quantity", "50", "--type", "epson", "--printer",
                                           QString::fromStdString(slow.address())});
    startProgram(checking, {"check-printer", "--type", "zebra", "--printer", QString::fromStdString(silent.address())});
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while ((slow.taken() == 0 || silent.taken() == 0) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_GT(slow.taken() * silent.taken(), 0u) << "the commands did not reach their printers";
    ::kill(static_cast<pid_t>(printing.processId()), SIGHUP);
    ::kill(static_cast<pid_t>(checking.processId()), SIGINT);

    EXPECT_TRUE(checking.waitForFinished(2'000));
    EXPECT_EQ(checking.exitStatus(), QProcess::CrashExit);
    const Ended stopped = ended(printing);
    EXPECT_EQ(stopped.status, 5);
    EXPECT_THAT(stopped.err, ::testing::MatchesRegex("Printing cancelled: [0-9]+ of 200 pages were sent\\.\n"));
    EXPECT_EQ(journal().runs(1).at(0).outcome, "cancelled");
}

TEST_F(SubCommands, SetupPrinterSendsThePageLengthCommand)
{
    const Ended result = travcard({"setup-printer", "--printer", QString::fromStdString(dir.file("lp"))});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(dir.read("lp"), std::string("\x1B" "C" "\x27" "\r\n", 5));
}

}  // namespace
