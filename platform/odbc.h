#pragma once
// A small ODBC layer over unixODBC: one connection, prepared statements with
// bound parameters, and result sets read completely into memory.
//
// Text crosses the driver boundary as UTF-16 (SQL_C_WCHAR) and is UTF-8
// everywhere in the program.

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

private:
    std::string sqlstate_;
    long nativeError_;
    std::string text_;
};

// The operator-facing report of an error: its number, SQLSTATE and text.
std::string describe(const Error& error);

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
    std::optional<std::uint64_t> maxRows;  // SQL_ATTR_MAX_ROWS
};

class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects without prompting. The connection is marked read-only: the
    // program never writes to the ERP database.
    void open(const std::string& connectionString);
    void close();
    bool isOpen() const;

    std::string dbmsName() const;

    // Prepares sql, binds params to its '?' markers in order, executes it
    // and reads every row.
    ResultSet query(const std::string& sql, const std::vector<Param>& params = {},
                    const QueryOptions& options = {});

private:
    void attachSqliteFileAsPublic();

    struct Handles;
    std::unique_ptr<Handles> handles_;
};

}  // namespace odbc
