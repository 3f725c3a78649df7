#pragma once
// The database side of the commands: the connection, the text of the last
// prepared query and the start-up result set. Only the command that runs
// uses it, on the job runner's thread; the window's thread only asks how
// long its current call has been running.
//
// A query whose connection has gone (server restarted, backend ended) is run
// once more on a new connection made with the same connection string. Every
// query of the program only reads, so repeating one is safe.

#include "platform/odbc.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

struct DatabaseSession {
    explicit DatabaseSession(std::string connectionString, odbc::Timeouts timeouts = {});

    odbc::Connection cn;
    std::string qd;      // the text of the most recently prepared query
    odbc::ResultSet rs;  // item master at start-up; nothing reads it
    std::string connectionString;

    // Connects cn; an error is reported as it comes.
    void open();

    // Prepares and runs sql on cn; the statement becomes qd. Connects first
    // when cn is not open, and once more when the connection is lost.
    odbc::ResultSet query(const std::string& sql, const std::vector<odbc::Param>& params = {},
                          const odbc::QueryOptions& options = {});

    // How long the query that runs now has been waiting for the database;
    // nothing when none runs. Safe to ask from any thread.
    std::optional<std::chrono::steady_clock::duration> callRunningFor() const;

    // Connections made so far, the first one included.
    int connectionsOpened() const { return connectionsOpened_; }

private:
    void reopen();

    odbc::Timeouts timeouts_;
    std::atomic<std::chrono::steady_clock::rep> callStarted_{0};  // 0: no call
    int connectionsOpened_ = 0;
};

inline constexpr const char* connectionLostMessage =
    "The connection to the database was lost and could not be reopened.";
