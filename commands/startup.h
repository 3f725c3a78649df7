#pragma once
// The start of a session: the printer that travcard.cfg names, and the
// database connection with its start-up query. Each step reports its own
// fault; a fault ends the program.

#include "db/database_session.h"
#include "exactly_once/journal_recorder.h"
#include "printing/printer_settings.h"
#include "text/message_box.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

// Reads and checks the configuration in programDir. On a fault shows its
// message(s) and returns nothing.
std::optional<PrinterSettings> loadPrinterSettings(const std::string& programDir,
                                                   MessageBox& messages);

// Opens the print journal that travcard.cfg in programDir names (JOURNAL=,
// JOURNAL_DAYS=). A journal that cannot be used is shown once and is off;
// the program goes on.
std::shared_ptr<JournalAccess> openStationJournal(const std::string& programDir, MessageBox& messages);

// Connects and runs the start-up query. On a database error shows its
// number and text and returns false.
bool openDatabase(DatabaseSession& db, MessageBox& messages);

// The same as a command, for the job runner and its watchdog: a database
// that does not answer at all cannot hold the start.
struct OpenDatabaseResult {
    std::vector<Message> messages;
    bool opened = false;
};
OpenDatabaseResult openDatabaseCommand(DatabaseSession& db);

inline constexpr const char* connectionString = "DSN=xfODBC;UID=tkr;PWD=opr_relay";

// What the driver is told, where it takes it. A login gets 15 seconds: a
// server on the plant's network answers a login within one or two, and a
// station that cannot reach it should say so soon. A query gets 35 seconds,
// a little more than the commands' own 30-second watchdog (Commands), which
// therefore always speaks first; the driver's limit then ends a given-up
// query on the server (psqlODBC sets statement_timeout), so that the server
// stops working for nobody and the abandoned connection is closed.
inline constexpr odbc::Timeouts driverTimeouts{std::chrono::seconds(15), std::chrono::seconds(35)};
