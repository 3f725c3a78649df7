// A request id binds the whole request it was first sent with, and which
// ids are taken at all.

#include "commands/unattended.h"
#include "exactly_once/request_id.h"
#include "journal/journal.h"

#include "tests/fixtures/data_source.h"
#include "tests/journal/journal_location.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace std::string_literals;

OrderAsk nestedAsk()
{
    OrderAsk ask;
    ask.order = selectOrder("12345", "ST", "0");
    ask.orderText = "12345"s;
    ask.operation = "20"s;
    ask.quantity = "2"s;
    ask.printer.name = "socket://zebra-3"s;
    ask.source = "service, nested part"s;
    ask.requestId = "N-1"s;
    return ask;
}

const NestedTexts nestedCard{"P-7", "3", "ACME", "D4", "rush"};

struct Retry {
    const char* what;
    std::function<void(OrderAsk&, std::optional<NestedTexts>&)> change;
    std::string told;  // the refusal's second message; empty: the retry is the same request
};

// The same id with any field changed that changes the card's bytes or where
// they go prints nothing; with none changed, it is told the card printed.
TEST(RequestId, BindsEveryFieldOfANestedCard)
{
    const JournalLocation location;
    const QString& path = location.path();
    JournalAccess access(path);
    Answer first;
    const std::int64_t run = std::get<std::int64_t>(claimRequest(access, claimedStart(nestedAsk(), nestedCard), first));
    Journal(path).endRun(run, RunOutcome::Printed, 0, {});
    const std::string held = "Run " + std::to_string(run) + " asked for ";
    const Retry retries[] = {
        {"the same card", [](OrderAsk&, std::optional<NestedTexts>&) {}, {}},
        {"another part", [](OrderAsk&, std::optional<NestedTexts>& n) { n->partNo = "P-8"s; },
         held + "part \"P-7\"; this request asks for part \"P-8\"."},
        {"another nested quantity", [](OrderAsk&, std::optional<NestedTexts>& n) { n->quantity = "4"s; },
         held + "nested quantity \"3\"; this request asks for nested quantity \"4\"."},
        {"another customer", [](OrderAsk&, std::optional<NestedTexts>& n) { n->customer = "ACME Ltd"s; },
         held + "customer \"ACME\"; this request asks for customer \"ACME Ltd\"."},
        {"another department", [](OrderAsk&, std::optional<NestedTexts>& n) { n->dept = ""s; },
         held + "department \"D4\"; this request asks for department \"\"."},
        {"another comment", [](OrderAsk&, std::optional<NestedTexts>& n) { n->comment = "rush, by noon"s; },
         held + "comment \"rush\"; this request asks for comment \"rush, by noon\"."},
        {"travel cards", [](OrderAsk&, std::optional<NestedTexts>& n) { n.reset(); },
         held + "a nested-part card, part \"P-7\", nested quantity \"3\", customer \"ACME\", department \"D4\", "
                "comment \"rush\"; this request does not."},
        {"another location", [](OrderAsk& a, std::optional<NestedTexts>&) { a.order.location = "NY"s; },
         held + "location ST; this request asks for location NY."},
        {"another order", [](OrderAsk& a, std::optional<NestedTexts>&) { a.orderText = "12346"s; },
         held + "order 12345; this request asks for order 12346."},
        {"another suffix", [](OrderAsk& a, std::optional<NestedTexts>&) { a.order.suffix = "1"s; },
         held + "suffix 0; this request asks for suffix 1."},
        {"another operation", [](OrderAsk& a, std::optional<NestedTexts>&) { a.operation = "30"s; },
         held + "operation 20; this request asks for operation 30."},
        {"another quantity", [](OrderAsk& a, std::optional<NestedTexts>&) { a.quantity = "1"s; },
         held + "quantity 2; this request asks for quantity 1."},
        {"another printer", [](OrderAsk& a, std::optional<NestedTexts>&) { a.printer.name = "socket://zebra-4"s; },
         held + "printer socket://zebra-3; this request asks for printer socket://zebra-4."},
        {"another resolution", [](OrderAsk& a, std::optional<NestedTexts>&) { a.printer.resolution.dpi = 300; },
         held + "resolution 203 dpi; this request asks for resolution 300 dpi."},
        {"a resolution to be detected",
         [](OrderAsk& a, std::optional<NestedTexts>&) { a.printer.resolution.detect = true; },
         held + "resolution 203 dpi; this request asks for resolution auto."},
        {"another printer type", [](OrderAsk& a, std::optional<NestedTexts>&) { a.printer.kind = PrinterKind::Epson; },
         held + "printer type ZEBRA, resolution 203 dpi; this request asks for printer type EPSON."},
    };
    for (const Retry& retry : retries) {
        SCOPED_TRACE(retry.what);
        OrderAsk ask = nestedAsk();
        std::optional<NestedTexts> nested = nestedCard;
        retry.change(ask, nested);
        Answer answer;
        const int status = std::get<int>(claimRequest(access, claimedStart(ask, nested), answer));
        if (retry.told.empty()) {
            EXPECT_EQ(status, allSent);
            EXPECT_EQ(answer.why(), reason::alreadyPrinted);
            continue;
        }
        EXPECT_EQ(status, nothingPrinted);
        EXPECT_EQ(answer.why(), reason::requestConflict);
        ASSERT_EQ(answer.messages.shown.size(), 2u);
        EXPECT_EQ(answer.messages.shown[1].text, retry.told);
    }
    EXPECT_EQ(Journal(path).runs().size(), 1u);
}

// A run recorded before requests kept what else they asked for is compared
// by what it recorded: the same request is not a conflict, another printer is.
TEST(RequestId, ARunOfAnEarlierJournalIsComparedByWhatItRecorded)
{
    const JournalLocation location;
    const QString& path = location.path();
    JournalAccess access(path);
    RunStart earlier = claimedStart(nestedAsk(), nestedCard);
    earlier.asked.clear();
    {
        Journal journal(path);
        journal.endRun(std::get<std::int64_t>(journal.claimRequest(earlier)), RunOutcome::Printed, 0, {});
    }
    Answer same;
    EXPECT_EQ(std::get<int>(claimRequest(access, claimedStart(nestedAsk(), nestedCard), same)), allSent);
    OrderAsk elsewhere = nestedAsk();
    elsewhere.printer.name = "socket://zebra-4";
    Answer other;
    EXPECT_EQ(std::get<int>(claimRequest(access, claimedStart(elsewhere, nestedCard), other)), nothingPrinted);
    EXPECT_EQ(other.why(), reason::requestConflict);
}

// A run of the shared queue that its service gave up as it stopped waits
// there again only when nothing of it was marked, nobody asked it to stop
// and nobody ended it: any of those, and another service must not print it.
TEST(RequestId, AGivenUpRunGoesBackToTheSharedQueueOnlyUntouched)
{
    const JournalLocation location;
    JournalAccess access(location.path());
    Journal journal(location.path());
    const struct {
        const char* what;
        std::function<void(std::int64_t)> meanwhile;
        bool goesBack;
    } cases[] = {
        {"untouched", [](std::int64_t) {}, true},
        {"asked to stop", [&](std::int64_t run) { journal.askStop(run); }, false},
        {"a ticket marked",
         [&](std::int64_t run) {
             journal.planRun(run, RunStart{}, {{"10", 1, "data"}});
             journal.sending(run, 0, 1, {{"10", 1, 9, "#"}});
         },
         false},
        {"ended", [&](std::int64_t run) { journal.endRun(run, RunOutcome::Cancelled, 0, {}); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        OrderAsk ask = nestedAsk();
        ask.requestId = "SHARED-"s + c.what;
        Answer claimed;
        const std::int64_t run = std::get<std::int64_t>(claimRequest(access, claimedStart(ask, nestedCard), claimed));
        journal.queueShared(run, "line", "{}");
        ASSERT_EQ(journal.takeShared("line")->run, run);
        c.meanwhile(run);
        EXPECT_EQ(returnToSharedQueue(access, run, 0), c.goesBack);
        const std::optional<SharedRun> next = journal.takeShared("line");
        EXPECT_EQ(next.has_value(), c.goesBack);
    }
}

#ifndef TRAVCARD_JOURNAL_ON_SERVER  // no journal in it
TEST(RequestId, IsTrimmedAndHoldsOnlyPrintableCharacters)
{
    const QString emoji = QString::fromUtf8("\U0001F5A8");  // two UTF-16 units, one character
    const struct {
        const char* what;
        QString given;
        const char* kept;  // nullptr: refused
    } cases[] = {
        {"padded", "  pad-X   ", "pad-X"},
        {"tab and line break at the ends", "\tpad-X\r\n", "pad-X"},
        {"spaces inside", "ERP 4711", "ERP 4711"},
        {"an emoji", emoji + " 42", "\U0001F5A8 42"},
        {"101 emoji", emoji.repeated(101), nullptr},
        {"blank", "   ", nullptr},
        {"a zero-width space", QString::fromUtf8("a\u200Bb"), nullptr},
        {"a right-to-left override", QString::fromUtf8("a\u202Eb"), nullptr},
        {"a byte order mark", QString::fromUtf8("a\uFEFFb"), nullptr},
        {"a control character inside", "a\tb", nullptr},
        {"a line separator", QString::fromUtf8("a\u2028b"), nullptr},
        {"half of a surrogate pair", QString("a") + QChar(0xD83D), nullptr},
        {"101 characters", QString(101, 'x'), nullptr},
    };
    for (const auto& id : cases) {
        SCOPED_TRACE(id.what);
        const std::optional<std::string> fault = requestIdFault(id.given);
        if (id.kept) {
            EXPECT_EQ(fault, std::nullopt);
            EXPECT_EQ(trimmedRequestId(id.given), id.kept);
        } else {
            EXPECT_NE(fault, std::nullopt);
        }
    }
    EXPECT_EQ(requestIdFault(emoji.repeated(100)), std::nullopt) << "a character is not a UTF-16 unit";
}
#endif

}  // namespace
