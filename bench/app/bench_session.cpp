#include "bench/app/bench_session.h"

#include "commands/startup.h"
#include "text/text.h"

#include <string>

BenchSession& benchSession()
{
    static BenchSession session;
    // A failed connection is left among the messages, for the first benchmark to report.
    [[maybe_unused]] static const bool connected = openDatabase(session.db, session.messages);
    return session;
}

bool noMessageShown(benchmark::State& bench, const RecordedMessages& messages)
{
    if (messages.shown.empty())
        return true;
    bench.SkipWithError(messages.shown.front().c_str());
    return false;
}

bool locateOrSkip(benchmark::State& bench, BenchSession& session, const LocateRequest& order)
{
    if (!noMessageShown(bench, session.messages))
        return false;
    session.located = locateOrder(session.db, order);
    session.messages.showAll(session.located.messages);
    if (!noMessageShown(bench, session.messages))
        return false;
    if (session.located.outcome != LocateResult::Outcome::Found) {
        bench.SkipWithError(("order '" + std::string(text::trimSpaces(order.order.key)) + "' was not found").c_str());
        return false;
    }
    return true;
}

double rowsIn(BenchSession& session, const std::string& table)
{
    odbc::ResultSet count = session.db.query("select count(*) from " + table);
    return std::stod(count.row(0).front().value_or("0"));
}
