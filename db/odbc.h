#pragma once
// A small ODBC layer over unixODBC: one connection, prepared statements with
// bound parameters, and result sets read completely into memory.
//
// Text crosses the driver boundary as UTF-16 (SQL_C_WCHAR) and is UTF-8
// everywhere in the program.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace odbc {

// A failed ODBC call: the first diagnostic record's SQLSTATE and native error
// number, and the text of all records.
class Error : public std::runtime_error {
public:
    Error(std::string sqlstate, long nativeError, std::string text);

    const std::string& sqlstate() const { return sqlstate_; }
    long nativeError() const { return nativeError_; }
    const std::string& text() const { return text_; }

    // True when the call failed because the connection is gone: a
    // communication SQLSTATE, a server shutting down or starting, or a driver
    // that reports the connection dead after the failure.
    bool connectionLost() const { return connectionLost_; }
    void markConnectionLost() { connectionLost_ = true; }

    // What happened, in words, for the operator; empty for a plain error.
    const std::string& summary() const { return summary_; }
    void setSummary(std::string summary) { summary_ = std::move(summary); }

private:
    std::string sqlstate_;
    long nativeError_;
    std::string text_;
    bool connectionLost_ = false;
    std::string summary_;
};

// The operator-facing report of an error: its summary when it has one, then
// its number, SQLSTATE and cleaned text.
std::string describe(const Error& error);

// A driver's message made fit for a message box: tabs and runs of blanks
// become one space, blank lines go (one stays between paragraphs), and a
// text longer than maxCharacters is cut, marked by "...".
std::string cleanDriverText(std::string_view text, std::size_t maxCharacters = 600);

// text without the passwords of connectionString (its PWD= and PASSWORD=
// values, as written and as meant) or any PWD=... or PASSWORD=... in it,
// each replaced by ***: what a driver says of a failed connect, fit to show.
std::string withoutPassword(std::string_view text, std::string_view connectionString);

// A parameter value: text is bound as character data, a whole number as an
// integer, so the statement compares the column with the type it names.
using Param = std::variant<std::string, std::int64_t>;

class ResultSet {
public:
    using Value = std::optional<std::string>;  // nullopt is SQL NULL
    using Row = std::vector<Value>;

    ResultSet() = default;
    ResultSet(std::vector<std::string> columnNames, std::vector<Row> rows);

    bool eof() const { return position_ >= rows_.size(); }
    void moveFirst() { position_ = 0; }
    void moveNext() { if (!eof()) ++position_; }

    // The current row's value of a column, looked up by name in any letter
    // case. A NULL reads as empty text; isNull tells it apart.
    std::string text(std::string_view column) const;
    bool isNull(std::string_view column) const;

    std::size_t rowCount() const { return rows_.size(); }
    std::size_t position() const { return position_; }
    // Index of a column for reading many rows directly; throws when unknown.
    std::size_t columnIndex(std::string_view column) const;
    const Row& row(std::size_t index) const { return rows_.at(index); }

private:
    const Value& current(std::string_view column) const;

    std::vector<std::string> columnNames_;  // upper case
    std::vector<Row> rows_;
    std::size_t position_ = 0;
};

struct QueryOptions {
    // At most this many rows are read, from the server too: psqlODBC reads
    // such a query through a server-side cursor instead of all at once.
    std::optional<std::uint64_t> maxRows;
};

// Time-outs handed to the driver where it takes them (0: the driver's own).
struct Timeouts {
    std::chrono::seconds login{0};  // SQL_ATTR_LOGIN_TIMEOUT
    std::chrono::seconds query{0};  // SQL_ATTR_QUERY_TIMEOUT, for every statement
};

class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects without prompting. The connection is marked read-only: the
    // program never writes to the ERP database. A failure's text holds no
    // password, whatever the driver echoed.
    void open(const std::string& connectionString, const Timeouts& timeouts = {});
    void close();
    bool isOpen() const;

    std::string dbmsName() const;

    // Prepares sql, binds params to its '?' markers in order, executes it
    // and reads every row.
    ResultSet query(const std::string& sql, const std::vector<Param>& params = {},
                    const QueryOptions& options = {});

private:
    std::string info(unsigned short type) const;  // SQLGetInfo as text
    void attachSqliteFileAsPublic();
    ResultSet run(const std::string& sql, const std::vector<Param>& params,
                  const QueryOptions& options);
    bool reportsDead() const;
    bool refusesStatements() const;

    struct Handles;
    std::unique_ptr<Handles> handles_;
};

}  // namespace odbc
