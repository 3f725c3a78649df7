#pragma once
// The database side of the commands: the connection, the text of the last
// prepared query and the start-up result set. Only the command that runs
// uses it, on the job runner's thread.

#include "platform/odbc.h"

#include <string>
#include <vector>

struct DatabaseSession {
    odbc::Connection cn;
    std::string qd;      // the text of the most recently prepared query
    odbc::ResultSet rs;  // item master at start-up; nothing reads it

    // Prepares and runs sql on cn; the statement becomes qd.
    odbc::ResultSet query(const std::string& sql, const std::vector<odbc::Param>& params = {},
                          const odbc::QueryOptions& options = {})
    {
        qd = sql;
        return cn.query(sql, params, options);
    }
};
