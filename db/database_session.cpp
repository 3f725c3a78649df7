#include "db/database_session.h"

#include <algorithm>

namespace {

using Clock = std::chrono::steady_clock;

// Marks a call as running for as long as it lives.
class CallMark {
public:
    explicit CallMark(std::atomic<Clock::rep>& started) : started_(started)
    {
        // A tick of 0 means "no call": a call that starts exactly then counts from 1.
        started_ = std::max<Clock::rep>(Clock::now().time_since_epoch().count(), 1);
    }
    ~CallMark() { started_ = 0; }
    CallMark(const CallMark&) = delete;
    CallMark& operator=(const CallMark&) = delete;

private:
    std::atomic<Clock::rep>& started_;
};

}  // namespace

DatabaseSession::DatabaseSession(std::string connectionString, odbc::Timeouts timeouts)
    : connectionString(std::move(connectionString)), timeouts_(timeouts)
{
}

void DatabaseSession::open()
{
    const CallMark mark(callStarted_);
    ++connectionsOpened_;
    connection_.open(connectionString, timeouts_);
}

void DatabaseSession::reopen()
{
    connection_.close();
    try {
        ++connectionsOpened_;
        connection_.open(connectionString, timeouts_);
    } catch (odbc::Error& error) {
        error.setSummary(connectionLostMessage);
        throw;
    }
}

odbc::ResultSet DatabaseSession::query(const std::string& sql,
                                       const std::vector<odbc::Param>& params,
                                       const odbc::QueryOptions& options)
{
    const CallMark mark(callStarted_);
    lastStatement_ = sql;
    ++statementsRun_;
    if (connection_.isOpen()) {
        try {
            return connection_.query(sql, params, options);
        } catch (const odbc::Error& error) {
            if (!error.connectionLost())
                throw;
        }
    }
    reopen();
    try {
        return connection_.query(sql, params, options);
    } catch (odbc::Error& error) {
        if (error.connectionLost())
            error.setSummary(connectionLostMessage);
        throw;
    }
}

std::optional<Clock::duration> DatabaseSession::callRunningFor() const
{
    const Clock::rep started = callStarted_;
    if (started == 0)
        return std::nullopt;
    return Clock::now() - Clock::time_point(Clock::duration(started));
}
