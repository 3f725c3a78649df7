#pragma once
// The state that the main window owns and every command shares: the
// database connection, the last query, the result sets and the printer
// settings from the configuration file.

#include "platform/command_gate.h"
#include "platform/odbc.h"

#include <string>

struct PrinterSettings {
    std::string pname;  // the printer device, as configured
    bool boolEpson = false;
    bool boolZebra = false;
};

struct SharedState {
    odbc::Connection cn;
    std::string qd;  // the text of the most recently prepared query
    odbc::ResultSet rs;  // item master at start-up; nothing reads it
    odbc::ResultSet rsHDR;
    odbc::ResultSet rsOPER;
    odbc::ResultSet rsITEM;
    odbc::ResultSet rsOPERNEXT;
    PrinterSettings printer;
    CommandGate commands;

    // Prepares and runs sql on cn; the statement becomes qd.
    odbc::ResultSet query(const std::string& sql, const std::vector<odbc::Param>& params = {},
                          const odbc::QueryOptions& options = {})
    {
        qd = sql;
        return cn.query(sql, params, options);
    }
};
