#include "commands/successor.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using Value = odbc::ResultSet::Value;

struct Candidate {
    Value oper;
    Value workCenter;
};

odbc::ResultSet candidates(const std::vector<Candidate>& rows)
{
    std::vector<odbc::ResultSet::Row> data;
    for (const auto& row : rows)
        data.push_back({row.oper, row.workCenter});
    return odbc::ResultSet({"id_oper", "ID_WC"}, std::move(data));
}

// The scan as the ticket run describes it: from the first candidate, stop
// after the first row with the same operation whose work centre is not
// HELP; the row the scan then stands on is the successor.
std::optional<std::size_t> scanForSuccessor(odbc::ResultSet rows, const Value& current)
{
    bool found = false;
    rows.moveFirst();
    while (!rows.eof() && !found) {
        const std::size_t i = rows.position();
        const Value& oper = rows.row(i)[0];
        const Value& workCenter = rows.row(i)[1];
        if (current && oper && workCenter && *oper == *current && *workCenter != "HELP")
            found = true;
        rows.moveNext();
    }
    if (rows.eof())
        return std::nullopt;
    return rows.position();
}

TEST(Successor, IsTheRowAfterTheFirstNonHelpMatch)
{
    const odbc::ResultSet rows = candidates({{"10", "SAW1"},
                                             {"20", "HELP"},
                                             {"20", "LATH"},
                                             {"30", "VEND"},
                                             {"40", std::nullopt},
                                             {"50", "PNT1"}});
    const SuccessorIndex index(rows);
    EXPECT_EQ(index.successorOf("10"), 1u) << "whatever its work centre";
    EXPECT_EQ(index.successorOf("20"), 3u) << "the HELP row is skipped";
    EXPECT_EQ(index.successorOf("40"), std::nullopt) << "a NULL work centre never matches";
    EXPECT_EQ(index.successorOf("50"), std::nullopt) << "the last row has none";
    EXPECT_EQ(index.successorOf("60"), std::nullopt);
    EXPECT_EQ(index.successorOf(std::nullopt), std::nullopt);
}

TEST(Successor, OnlyHelpRowsMeanDone)
{
    const SuccessorIndex index(candidates({{"10", "HELP"}, {"20", "MILL"}}));
    EXPECT_EQ(index.successorOf("10"), std::nullopt);
}

TEST(Successor, ComparesOperationsAsStored)
{
    const SuccessorIndex index(candidates({{"10 ", "SAW1"}, {"20", "MILL"}}));
    EXPECT_EQ(index.successorOf("10"), std::nullopt);
    EXPECT_EQ(index.successorOf("10 "), 1u);
}

TEST(Successor, EmptyCandidateListHasNoSuccessors)
{
    const SuccessorIndex index{odbc::ResultSet()};
    EXPECT_EQ(index.successorOf("10"), std::nullopt);
}

TEST(Successor, AgreesWithTheScanOnRandomRoutings)
{
    std::mt19937 random(20261208);
    const std::vector<Value> opers = {"10", "20", "30", "40", "10 ", std::nullopt};
    const std::vector<Value> workCenters = {"SAW1", "HELP", "MILL", std::nullopt, "HELP "};
    for (int routing = 0; routing < 500; ++routing) {
        std::vector<Candidate> rows(random() % 12);
        for (auto& row : rows)
            row = {opers[random() % opers.size()], workCenters[random() % workCenters.size()]};
        const odbc::ResultSet set = candidates(rows);
        const SuccessorIndex index(set);
        for (const Value& current : opers)
            ASSERT_EQ(index.successorOf(current), scanForSuccessor(set, current))
                << "routing " << routing << ", operation " << current.value_or("NULL");
    }
}

}  // namespace
