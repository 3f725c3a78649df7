#include "db/odbc.h"

#include "text/text.h"

#include <QString>

#include <sql.h>
#include <sqlext.h>

#include <algorithm>

namespace odbc {

namespace {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the driver manager's wide characters are UTF-16");

bool succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

std::string fromUtf16(const SQLWCHAR* text, std::size_t length)
{
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(text),
                              static_cast<qsizetype>(length))
        .toStdString();
}

Error diagnostics(SQLSMALLINT handleType, SQLHANDLE handle, const std::string& context)
{
    std::string sqlstate = "HY000";
    long nativeError = 0;
    std::string text;
    for (SQLSMALLINT record = 1;; ++record) {
        SQLWCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
        SQLINTEGER native = 0;
        std::vector<SQLWCHAR> message(SQL_MAX_MESSAGE_LENGTH);
        SQLSMALLINT length = 0;
        auto read = [&] {
            return SQLGetDiagRecW(handleType, handle, record, state, &native, message.data(),
                                  static_cast<SQLSMALLINT>(message.size()), &length);
        };
        SQLRETURN rc = read();
        if (rc == SQL_SUCCESS_WITH_INFO && static_cast<std::size_t>(length) >= message.size()) {
            message.resize(static_cast<std::size_t>(length) + 1);
            rc = read();
        }
        if (!succeeded(rc))
            break;
        if (record == 1) {
            sqlstate = fromUtf16(state, SQL_SQLSTATE_SIZE);
            nativeError = native;
        } else {
            text += '\n';
        }
        text += fromUtf16(message.data(), std::min<std::size_t>(length, message.size() - 1));
    }
    if (text.empty())
        text = context + " failed";
    return Error(sqlstate, nativeError, text);
}

void check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const char* context)
{
    if (!succeeded(rc))
        throw diagnostics(handleType, handle, context);
}

bool isConnectionGone(const std::string& sqlstate)
{
    return sqlstate.starts_with("08") || sqlstate == "57P01" || sqlstate == "57P02" ||
           sqlstate == "57P03";
}

// Owns one ODBC handle and frees it on every way out.
class Handle {
public:
    Handle(SQLSMALLINT type, SQLHANDLE parent) : type_(type)
    {
        if (!succeeded(SQLAllocHandle(type, parent, &handle_))) {
            if (parent != SQL_NULL_HANDLE)
                throw diagnostics(type == SQL_HANDLE_STMT ? SQL_HANDLE_DBC : SQL_HANDLE_ENV,
                                  parent, "allocating a handle");
            throw Error("HY001", 0, "The ODBC driver manager could not allocate a handle.");
        }
    }
    ~Handle()
    {
        if (handle_ != SQL_NULL_HANDLE)
            SQLFreeHandle(type_, handle_);
    }
    Handle(Handle&& other) noexcept : type_(other.type_), handle_(other.handle_)
    {
        other.handle_ = SQL_NULL_HANDLE;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle& operator=(Handle&&) = delete;

    SQLHANDLE get() const { return handle_; }
    void check(SQLRETURN rc, const char* context) const { odbc::check(rc, type_, handle_, context); }

private:
    SQLSMALLINT type_;
    SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

Handle makeEnvironment()
{
    Handle env(SQL_HANDLE_ENV, SQL_NULL_HANDLE);
    env.check(SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION,
                            reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
              "setting the ODBC version");
    return env;
}

std::vector<std::string> columnNames(const Handle& stmt, SQLSMALLINT count)
{
    std::vector<std::string> names;
    for (SQLUSMALLINT column = 1; column <= count; ++column) {
        SQLCHAR name[256] = {};
        SQLSMALLINT nameLength = 0, dataType = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        stmt.check(SQLDescribeCol(stmt.get(), column, name, sizeof name, &nameLength, &dataType,
                                  &size, &digits, &nullable),
                   "describing a column");
        names.push_back(text::upperAscii(reinterpret_cast<const char*>(name)));
    }
    return names;
}

// Reads one column of the current row as UTF-16, in pieces when it is long.
ResultSet::Value readColumn(const Handle& stmt, SQLUSMALLINT column)
{
    std::u16string value;
    SQLWCHAR buffer[512];
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc = SQLGetData(stmt.get(), column, SQL_C_WCHAR, buffer, sizeof buffer,
                                        &indicator);
        if (rc == SQL_NO_DATA)
            break;
        stmt.check(rc, "reading a column");
        if (indicator == SQL_NULL_DATA)
            return std::nullopt;
        const std::size_t capacity = sizeof buffer / sizeof(SQLWCHAR) - 1;
        const std::size_t available = indicator == SQL_NO_TOTAL
                                          ? capacity
                                          : static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR);
        const std::size_t piece = std::min(available, capacity);
        if (rc == SQL_SUCCESS && value.empty())
            return fromUtf16(buffer, piece);  // the whole value in one piece
        value.append(reinterpret_cast<const char16_t*>(buffer), piece);
        if (rc == SQL_SUCCESS)
            break;
    }
    return fromUtf16(reinterpret_cast<const SQLWCHAR*>(value.data()), value.size());
}

// Keeps bound parameter values alive until the statement has executed.
struct BoundParams {
    std::vector<QString> texts;
    std::vector<std::int64_t> numbers;
    std::vector<SQLLEN> lengths;

    void bind(const Handle& stmt, const std::vector<Param>& params)
    {
        texts.reserve(params.size());
        numbers.reserve(params.size());
        lengths.reserve(params.size());
        SQLUSMALLINT number = 0;
        for (const Param& param : params) {
            ++number;
            if (const auto* text = std::get_if<std::string>(&param)) {
                const QString& wide = texts.emplace_back(QString::fromStdString(*text));
                const auto units = static_cast<std::size_t>(wide.size());
                SQLLEN& length = lengths.emplace_back(static_cast<SQLLEN>(units * sizeof(SQLWCHAR)));
                stmt.check(SQLBindParameter(stmt.get(), number, SQL_PARAM_INPUT, SQL_C_WCHAR,
                                            SQL_WVARCHAR, std::max<std::size_t>(units, 1), 0,
                                            const_cast<ushort*>(wide.utf16()), length, &length),
                           "binding a text parameter");
            } else {
                std::int64_t& value = numbers.emplace_back(std::get<std::int64_t>(param));
                SQLLEN& length = lengths.emplace_back(0);
                stmt.check(SQLBindParameter(stmt.get(), number, SQL_PARAM_INPUT, SQL_C_SBIGINT,
                                            SQL_BIGINT, 0, 0, &value, 0, &length),
                           "binding a number parameter");
            }
        }
    }
};

}  // namespace

Error::Error(std::string sqlstate, long nativeError, std::string text)
    : std::runtime_error("[" + sqlstate + "] " + text),
      sqlstate_(std::move(sqlstate)),
      nativeError_(nativeError),
      text_(std::move(text)),
      connectionLost_(isConnectionGone(sqlstate_))
{
}

ResultSet::ResultSet(std::vector<std::string> columnNames, std::vector<Row> rows)
    : columnNames_(std::move(columnNames)), rows_(std::move(rows))
{
    for (auto& name : columnNames_)
        name = text::upperAscii(name);
}

std::size_t ResultSet::columnIndex(std::string_view column) const
{
    const std::string wanted = text::upperAscii(std::string(column));
    const auto found = std::find(columnNames_.begin(), columnNames_.end(), wanted);
    if (found == columnNames_.end())
        throw Error("07009", 0, "The result has no column named " + std::string(column) + ".");
    return static_cast<std::size_t>(found - columnNames_.begin());
}

const ResultSet::Value& ResultSet::current(std::string_view column) const
{
    if (eof())
        throw Error("24000", 0, "The result set stands on no row.");
    return rows_[position_][columnIndex(column)];
}

std::string ResultSet::text(std::string_view column) const
{
    return current(column).value_or(std::string());
}

bool ResultSet::isNull(std::string_view column) const { return !current(column).has_value(); }

// psqlODBC's own connection attributes (its header psqlodbc.h): read
// SELECTs through a server-side cursor, and how many rows each FETCH takes.
constexpr SQLINTEGER psqlodbcUseDeclareFetch = 65539;
constexpr SQLINTEGER psqlodbcFetchRows = 65541;

struct Connection::Handles {
    Handle env = makeEnvironment();
    Handle dbc{SQL_HANDLE_DBC, env.get()};
    bool connected = false;
    bool psqlodbc = false;
    Timeouts timeouts;
};

namespace {

// Without declare/fetch mode psqlODBC reads a whole result set when it runs
// the query, whatever SQL_ATTR_MAX_ROWS says. For one statement this turns
// the mode on, fetching at most rows rows at a time, and puts the
// connection's own settings back afterwards.
class ServerSideCursor {
public:
    ServerSideCursor(SQLHDBC dbc, std::uint64_t rows) : dbc_(dbc)
    {
        SQLGetConnectAttr(dbc_, psqlodbcUseDeclareFetch, &useDeclareFetch_, 0, nullptr);
        SQLGetConnectAttr(dbc_, psqlodbcFetchRows, &fetchRows_, 0, nullptr);
        set(psqlodbcUseDeclareFetch, 1);
        set(psqlodbcFetchRows, static_cast<SQLINTEGER>(std::clamp<std::uint64_t>(rows, 1, 1000)));
    }
    ~ServerSideCursor()
    {
        set(psqlodbcUseDeclareFetch, useDeclareFetch_);
        set(psqlodbcFetchRows, fetchRows_);
    }
    ServerSideCursor(const ServerSideCursor&) = delete;
    ServerSideCursor& operator=(const ServerSideCursor&) = delete;

private:
    void set(SQLINTEGER attribute, SQLINTEGER value)
    {
        SQLSetConnectAttr(dbc_, attribute, reinterpret_cast<SQLPOINTER>(static_cast<SQLLEN>(value)), 0);
    }

    SQLHDBC dbc_;
    SQLINTEGER useDeclareFetch_ = 0;
    SQLINTEGER fetchRows_ = 100;
};

}  // namespace

Connection::Connection() = default;

Connection::~Connection() { close(); }

void Connection::open(const std::string& connectionString, const Timeouts& timeouts)
{
    close();
    auto handles = std::make_unique<Handles>();
    handles->timeouts = timeouts;
    const Handle& dbc = handles->dbc;
    dbc.check(SQLSetConnectAttr(dbc.get(), SQL_ATTR_ACCESS_MODE,
                                reinterpret_cast<SQLPOINTER>(SQL_MODE_READ_ONLY), 0),
              "marking the connection read-only");
    // A driver that does not take a time-out keeps its own: no reason to fail.
    if (timeouts.login.count() > 0)
        SQLSetConnectAttr(dbc.get(), SQL_ATTR_LOGIN_TIMEOUT,
                          reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeouts.login.count())), 0);
    std::string in = connectionString;
    SQLCHAR out[1024];
    SQLSMALLINT outLength = 0;
    const SQLRETURN connected =
        SQLDriverConnect(dbc.get(), nullptr, reinterpret_cast<SQLCHAR*>(in.data()),
                         static_cast<SQLSMALLINT>(in.size()), out, sizeof out, &outLength, SQL_DRIVER_NOPROMPT);
    if (!succeeded(connected)) {
        const Error error = diagnostics(SQL_HANDLE_DBC, dbc.get(), "connecting");
        throw Error(error.sqlstate(), error.nativeError(), withoutPassword(error.text(), connectionString));
    }
    handles->connected = true;
    handles_ = std::move(handles);
    handles_->psqlodbc = text::upperAscii(info(SQL_DRIVER_NAME)).starts_with("PSQLODBC");
    if (text::upperAscii(dbmsName()).find("SQLITE") != std::string::npos)
        attachSqliteFileAsPublic();
}

void Connection::close()
{
    if (handles_ && handles_->connected)
        SQLDisconnect(handles_->dbc.get());
    handles_.reset();
}

bool Connection::isOpen() const { return handles_ != nullptr; }

std::string Connection::dbmsName() const { return info(SQL_DBMS_NAME); }

std::string Connection::info(unsigned short type) const
{
    if (!handles_)
        throw Error("08003", 0, "The database connection is not open.");
    SQLCHAR name[256] = {};
    SQLSMALLINT length = 0;
    handles_->dbc.check(SQLGetInfo(handles_->dbc.get(), type, name, sizeof name, &length),
                        "asking the driver about itself");
    return reinterpret_cast<const char*>(name);
}

// SQLite has no schemas. Attaching the connection's own file as PUBLIC lets
// the same "PUBLIC.TABLE" statements run on SQLite and PostgreSQL alike.
void Connection::attachSqliteFileAsPublic()
{
    ResultSet databases = query("PRAGMA database_list");
    for (; !databases.eof(); databases.moveNext()) {
        if (databases.text("name") == "main") {
            query("ATTACH DATABASE ? AS PUBLIC", {databases.text("file")});
            return;
        }
    }
}

ResultSet Connection::query(const std::string& sql, const std::vector<Param>& params,
                            const QueryOptions& options)
{
    if (!handles_)
        throw Error("08003", 0, "The database connection is not open.");
    try {
        return run(sql, params, options);
    } catch (Error& error) {
        // psqlODBC reports the first failure after a server restart as HY000,
        // and does not always call the connection dead after it either.
        if (!error.connectionLost() && (reportsDead() || refusesStatements()))
            error.markConnectionLost();
        throw;
    }
}

bool Connection::reportsDead() const
{
    SQLUINTEGER dead = SQL_CD_FALSE;
    const SQLRETURN rc =
        SQLGetConnectAttr(handles_->dbc.get(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
    return succeeded(rc) && dead == SQL_CD_TRUE;
}

// A statement prepared on a lost connection fails at once, without a word
// to the server; on a live one preparation costs no round trip.
bool Connection::refusesStatements() const
{
    try {
        Handle stmt(SQL_HANDLE_STMT, handles_->dbc.get());
        SQLCHAR probe[] = "select 1";
        stmt.check(SQLPrepare(stmt.get(), probe, SQL_NTS), "preparing a probe");
        return false;
    } catch (const Error& error) {
        return error.connectionLost();
    }
}

ResultSet Connection::run(const std::string& sql, const std::vector<Param>& params,
                          const QueryOptions& options)
{
    std::optional<ServerSideCursor> cursor;  // outlives the statement, which closes it
    if (options.maxRows && handles_->psqlodbc)
        cursor.emplace(handles_->dbc.get(), *options.maxRows);
    Handle stmt(SQL_HANDLE_STMT, handles_->dbc.get());
    if (const auto seconds = handles_->timeouts.query.count(); seconds > 0)
        SQLSetStmtAttr(stmt.get(), SQL_ATTR_QUERY_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)), 0);
    if (options.maxRows)
        stmt.check(SQLSetStmtAttr(stmt.get(), SQL_ATTR_MAX_ROWS,
                                  reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(*options.maxRows)),
                                  0),
                   "limiting the rows of a query");
    std::string text = sql;
    stmt.check(SQLPrepare(stmt.get(), reinterpret_cast<SQLCHAR*>(text.data()),
                          static_cast<SQLINTEGER>(text.size())),
               "preparing a query");
    BoundParams bound;
    bound.bind(stmt, params);
    const SQLRETURN executed = SQLExecute(stmt.get());
    if (executed != SQL_NO_DATA)
        stmt.check(executed, "running a query");

    SQLSMALLINT columnCount = 0;
    stmt.check(SQLNumResultCols(stmt.get(), &columnCount), "counting result columns");
    if (columnCount == 0)
        return {};
    std::vector<std::string> names = columnNames(stmt, columnCount);
    std::vector<ResultSet::Row> rows;
    for (;;) {
        const SQLRETURN fetched = SQLFetch(stmt.get());
        if (fetched == SQL_NO_DATA)
            break;
        stmt.check(fetched, "fetching a row");
        ResultSet::Row& row = rows.emplace_back();
        row.reserve(static_cast<std::size_t>(columnCount));
        for (SQLUSMALLINT column = 1; column <= columnCount; ++column)
            row.push_back(readColumn(stmt, column));
        if (options.maxRows && rows.size() >= *options.maxRows)
            break;
    }
    return ResultSet(std::move(names), std::move(rows));
}

}  // namespace odbc
