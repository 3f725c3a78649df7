#pragma once
// A station's own login to the ERP database, kept in a file of its own that
// DATABASE= in travcard.cfg names: lines DSN=, UID= and PWD=, and
// JOURNAL_PWD= for a print journal on a server, blank lines and # comments, in a file only its owner (and its group) may read. What is
// said about a file names the file and the fault, never a line's text: the
// password stays out of every message.

#include <string>
#include <string_view>
#include <variant>

struct DatabaseLogin {
    std::string dsn;       // DSN=, required
    std::string user;      // UID=; empty: the data source's own
    std::string password;  // PWD=; empty: none given
    // JOURNAL_PWD=: the password of the journal's server user, for a JOURNAL=
    // URI that gives none; empty: none given.
    std::string journalPassword;
};

// The login in content, or what is wrong with it.
std::variant<DatabaseLogin, std::string> parseDatabaseLogin(std::string_view content);

// The login in the file at path, or why it cannot be used. The file must be
// a regular file of mode 0600 or 0640.
std::variant<DatabaseLogin, std::string> readDatabaseLogin(const std::string& path);

// A value as an ODBC connection string carries it: in braces, with each }
// doubled, when it holds ; { or } or begins or ends with a blank, so that no
// value can end its attribute early and add one of its own.
std::string odbcValue(std::string_view value);

// DSN=...;UID=...;PWD=..., UID= and PWD= only when given.
std::string connectionStringOf(const DatabaseLogin& login);
