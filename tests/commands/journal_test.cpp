// What a Print from the main window leaves in the print journal.

#include "commands/nested_print_run.h"
#include "exactly_once/journal_recorder.h"
#include "exactly_once/ticket_record.h"
#include "tickets/nested_job.h"
#include "tickets/zebra_job.h"

#include "tests/fixtures/main_window_fixture.h"

namespace {

using ::testing::HasSubstr;

class PrintJournal : public MainWindowTest {};

TEST_F(PrintJournal, RecordsTheRunAndEveryTicketSoThatItCanBeBuiltAgain)
{
    start();
    locate("12345");
    print("All", "2");
    ASSERT_TRUE(messages.shown.empty()) << messages.shown.front().text;

    Journal journal(QString::fromStdString(journalFile()));
    const RunRecord run = journal.runs().front();
    EXPECT_EQ(run.outcome, "printed");
    EXPECT_EQ(run.source, "main window");
    EXPECT_EQ(run.order + " " + run.location + " " + run.suffix + " " + run.operation + " " + run.quantity,
              "12345 ST 0 All 2");
    EXPECT_EQ(run.printer, printerFile());
    EXPECT_EQ(run.printerType, "ZEBRA");
    EXPECT_EQ(run.planned, 4);
    EXPECT_EQ(run.confirmed, 4);
    EXPECT_EQ(run.inDoubt, 0);
    EXPECT_GT(run.ended, 0);

    // The printer's file, cut at the recorded lengths, is the tickets, each
    // with its digest and each built again from the record to the same bytes.
    const std::string jobs = printed();
    std::size_t at = 0;
    std::vector<std::string> operations;
    for (const TicketRecord& ticket : journal.tickets(run.id)) {
        const std::string bytes = jobs.substr(at, static_cast<std::size_t>(ticket.length));
        at += bytes.size();
        EXPECT_EQ(ticket.state, TicketState::Confirmed);
        EXPECT_EQ(ticket.sha256, sha256(bytes));
        const std::optional<TicketData> data = decodeTicket(run.shared, ticket.data);
        ASSERT_TRUE(data);
        EXPECT_EQ(zebraJob(*data), bytes);
        operations.push_back(ticket.operation);
    }
    EXPECT_EQ(at, jobs.size());
    EXPECT_EQ(operations, (std::vector<std::string>{"10", "20", "40", "50"}));
}

TEST_F(PrintJournal, RecordsANestedLabelSoThatItCanBeBuiltAgain)
{
    start();
    locate("12345");
    NestedPrintRequest request = nestedPrintRequest({"12345", "0", "ST", "20", "2"}, window->rsHDR, printer(),
                                                    {"NP-7", "25", "ACME", "WELD", "keep dry"});
    request.journal = std::make_shared<JournalAccess>(QString::fromStdString(journalFile()));
    messages.showAll(printNestedTickets(db(), request).messages);
    ASSERT_TRUE(messages.shown.empty()) << messages.shown.front().text;

    Journal journal(QString::fromStdString(journalFile()));
    const RunRecord run = journal.runs().front();
    EXPECT_EQ(run.source + " " + run.outcome + " " + run.operation, "nested window printed 20");
    const std::vector<TicketRecord> tickets = journal.tickets(run.id);
    ASSERT_EQ(tickets.size(), 1u);
    EXPECT_EQ(tickets[0].state, TicketState::Confirmed);
    const std::optional<NestedTicketData> label = decodeNestedTicket(tickets[0].data);
    ASSERT_TRUE(label);
    EXPECT_EQ(nestedJob(*label), printed());
}

TEST_F(PrintJournal, AFailedWriteEndsTheRunWithItsBatchInDoubt)
{
    start();
    locate("12345");
    printer().name = "/dev/full";
    print("All", "1");

    const RunRecord run = Journal(QString::fromStdString(journalFile())).runs().front();
    EXPECT_EQ(run.outcome, "failed");
    EXPECT_EQ(run.message,
              "The printer /dev/full is not available.\nNo space left on device.\n0 of 4 tickets were sent.");
    EXPECT_EQ(run.confirmed, 0);
    EXPECT_EQ(run.inDoubt, 1) << "the ticket whose write failed may have printed in part; those after it never left";
}

TEST_F(PrintJournal, AJournalThatCannotBeCreatedIsToldOnceAndPrintingGoesOn)
{
    dir.write("not-a-folder", "");
    journal = dir.file("not-a-folder") + "/journal.sqlite";
    start();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_THAT(messages.shown.front().text, HasSubstr(journal));
    EXPECT_THAT(messages.shown.front().text, HasSubstr("without a journal"));

    locate("12345");
    print("All", "1");
    print("20", "1");
    EXPECT_EQ(messages.shown.size(), 1u);
    EXPECT_THAT(printed(), HasSubstr("OPERATION NO: 20"));
}

}  // namespace
