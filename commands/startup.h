#pragma once
// The start of a session: the printer that travcard.cfg names, the database
// login, and the database connection with its start-up query. Each step
// reports its own fault; a fault ends the program.

#include "db/database_session.h"
#include "exactly_once/journal_recorder.h"
#include "printing/printer_settings.h"
#include "text/message_box.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

// Reads and checks the configuration in programDir. On a fault shows its
// message(s) and returns nothing. Chooses the database login too
// (chooseDatabaseLogin), whose fault openDatabase shows.
std::optional<PrinterSettings> loadPrinterSettings(const std::string& programDir,
                                                   MessageBox& messages);

// Opens the print journal that travcard.cfg in programDir names (JOURNAL=,
// JOURNAL_DAYS=). A journal that cannot be used is shown once and is off;
// the program goes on.
std::shared_ptr<JournalAccess> openStationJournal(const std::string& programDir, MessageBox& messages);
// Where that journal is: JOURNAL=, or the default path.
QString stationJournalPath(const std::string& programDir);
// A journal on a server with the password of the database login chosen
// (JOURNAL_PWD=) when its URI gives none; any other location as it is.
QString withJournalLogin(const QString& location);

// The login of a station without DATABASE=.
inline constexpr const char* builtInConnectionString = "DSN=xfODBC;UID=tkr;PWD=opr_relay";

// Chooses the database login of the sessions opened from now on, for the
// whole process: the file that DATABASE= in programDir's travcard.cfg
// names, read now, or without DATABASE= the built-in login.
void chooseDatabaseLogin(const std::string& programDir);
// From now on chooseDatabaseLogin reads the file at path in place of
// DATABASE= whenever something is there (travcard serve --database-if-present).
void preferDatabaseLoginFile(const std::string& path);
// Why the login chosen cannot be used (its file named), or nothing.
std::optional<std::string> databaseLoginFault();
// The connection string of the login chosen: every session's but a test's.
std::string databaseConnectionString();
// Where the login chosen comes from, in words.
std::string databaseLoginSource();

// Connects with the login chosen and runs the start-up query. A login that
// cannot be used, or a database error, is shown (the error's number and
// text) and false returned. A login from a file replaces the session's
// connection string: a session made before the choice has the built-in one.
bool openDatabase(DatabaseSession& db, MessageBox& messages);

// The same as a command, for the job runner and its watchdog: a database
// that does not answer at all cannot hold the start.
struct OpenDatabaseResult {
    std::vector<Message> messages;
    bool opened = false;
    bool loginUnusable = false;  // the login's file was refused: nothing was tried
};
OpenDatabaseResult openDatabaseCommand(DatabaseSession& db);

namespace reason {
inline constexpr const char* credentialsUnusable = "credentials_unusable";
}  // namespace reason

// What the driver is told, where it takes it. A login gets 15 seconds: a
// server on the plant's network answers a login within one or two, and a
// station that cannot reach it should say so soon. A query gets 35 seconds,
// a little more than the commands' own 30-second watchdog (Commands), which
// therefore always speaks first; the driver's limit then ends a given-up
// query on the server (psqlODBC sets statement_timeout), so that the server
// stops working for nobody and the abandoned connection is closed.
inline constexpr odbc::Timeouts driverTimeouts{std::chrono::seconds(15), std::chrono::seconds(35)};
