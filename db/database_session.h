#pragma once
// The database side of the commands: one connection to the ERP database.
// Only the command that runs uses it, on the job runner's thread; the
// window's thread only asks how long its current call has been running.
//
// A query whose connection has gone (server restarted, backend ended) is run
// once more on a new connection made with the same connection string. Every
// query of the program only reads, so repeating one is safe.

#include "db/odbc.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

struct DatabaseSession {
    explicit DatabaseSession(std::string connectionString, odbc::Timeouts timeouts = {});

    std::string connectionString;  // tests point it elsewhere

    // Connects; an error is reported as it comes.
    void open();
    void close() { connection_.close(); }
    bool isOpen() const { return connection_.isOpen(); }

    // Prepares and runs sql. Connects first when the connection is not
    // open, and once more when it is lost.
    odbc::ResultSet query(const std::string& sql, const std::vector<odbc::Param>& params = {},
                          const odbc::QueryOptions& options = {});

    // How long the query that runs now has been waiting for the database;
    // nothing when none runs. Safe to ask from any thread.
    std::optional<std::chrono::steady_clock::duration> callRunningFor() const;

    // Connections made so far, the first one included.
    int connectionsOpened() const { return connectionsOpened_; }
    // The statements run so far, and the text of the last one.
    int statementsRun() const { return statementsRun_; }
    const std::string& lastStatement() const { return lastStatement_; }

private:
    void reopen();

    odbc::Connection connection_;
    odbc::Timeouts timeouts_;
    std::string lastStatement_;
    int statementsRun_ = 0;
    std::atomic<std::chrono::steady_clock::rep> callStarted_{0};  // 0: no call
    int connectionsOpened_ = 0;
};

inline constexpr const char* connectionLostMessage =
    "The connection to the database was lost and could not be reopened.";
