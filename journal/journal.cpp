#include "journal/journal.h"

#include "journal/run_owner.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QVariant>

#include <algorithm>
#include <atomic>

namespace {

constexpr int schemaVersion = 1;

// Several statements of the schema; each is run on its own.
const char* const schema[] = {
    R"(CREATE TABLE IF NOT EXISTS runs (
         id INTEGER PRIMARY KEY,
         started INTEGER NOT NULL,
         ended INTEGER,
         station TEXT, user TEXT, version TEXT, source TEXT,
         request_id TEXT UNIQUE,
         location TEXT, shop_order TEXT, suffix TEXT, operation TEXT, quantity TEXT,
         printer TEXT, printer_type TEXT,
         planned INTEGER NOT NULL, confirmed INTEGER NOT NULL DEFAULT 0,
         in_doubt INTEGER NOT NULL DEFAULT 0,
         outcome TEXT, message TEXT,
         owner TEXT,
         shared BLOB))",
    "CREATE INDEX IF NOT EXISTS runs_started ON runs(started)",
    "CREATE INDEX IF NOT EXISTS runs_open ON runs(id) WHERE ended IS NULL",
    // One row per ticket, kept small: what the whole run shares is on the run.
    R"(CREATE TABLE IF NOT EXISTS tickets (
         run INTEGER NOT NULL, position INTEGER NOT NULL,
         operation TEXT, copy INTEGER NOT NULL DEFAULT 1,
         data BLOB, length INTEGER, sha256 BLOB, state INTEGER NOT NULL DEFAULT 0,
         PRIMARY KEY (run, position)) WITHOUT ROWID)",
};

// Rows per multi-row statement: fewer statements cost less than more.
constexpr int rowsPerStatement = 64;

std::int64_t nowMs() { return QDateTime::currentMSecsSinceEpoch(); }

QString loginName()
{
    QString name = qEnvironmentVariable("USER");
    return name.isEmpty() ? qEnvironmentVariable("LOGNAME") : name;
}

QByteArray bytes(const std::string& text) { return QByteArray(text.data(), static_cast<qsizetype>(text.size())); }
QString qtext(const std::string& text) { return QString::fromStdString(text); }
std::string stdText(const QVariant& value) { return value.toString().toStdString(); }
std::string stdBytes(const QVariant& value)
{
    const QByteArray data = value.toByteArray();
    return std::string(data.constData(), static_cast<std::size_t>(data.size()));
}

// "(?, ?, ?), (?, ?, ?)": rows of placeholders for a multi-row statement.
QString placeholderRows(const QString& row, int rows)
{
    QString all;
    for (int i = 0; i < rows; ++i)
        all += (i ? QStringLiteral(", ") : QString()) + row;
    return all;
}

}  // namespace

std::string outcomeName(RunOutcome outcome)
{
    switch (outcome) {
    case RunOutcome::Printed: return "printed";
    case RunOutcome::Cancelled: return "cancelled";
    case RunOutcome::Failed: return "failed";
    case RunOutcome::Interrupted: return "interrupted";
    }
    return "failed";
}

// BEGIN IMMEDIATE: the write lock is taken at once (waiting at most the busy
// time-out), so that two processes never deadlock upgrading a read.
class Journal::Transaction {
public:
    enum Kind { Write, Read };
    explicit Transaction(const Journal& journal, Kind kind = Write)
        : journal_(journal), db_(QSqlDatabase::database(journal.connection_, false))
    {
        exec(kind == Write ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN"));
    }
    ~Transaction()
    {
        if (!committed_)
            QSqlQuery(db_).exec(QStringLiteral("ROLLBACK"));
    }
    void commit()
    {
        exec(QStringLiteral("COMMIT"));
        committed_ = true;
    }
    QSqlQuery prepare(const QString& sql) const
    {
        QSqlQuery query(db_);
        if (!query.prepare(sql))
            journal_.fail(QStringLiteral("prepare"), query.lastError().text());
        return query;
    }
    void exec(QSqlQuery& query) const
    {
        if (!query.exec())
            journal_.fail(QStringLiteral("write"), query.lastError().text());
    }
    QSqlQuery exec(const QString& sql) const
    {
        QSqlQuery query(db_);
        if (!query.exec(sql))
            journal_.fail(QStringLiteral("write"), query.lastError().text());
        return query;
    }

private:
    const Journal& journal_;
    QSqlDatabase db_;
    bool committed_ = false;
};

Journal::Journal(const QString& path) : path_(path)
{
    static std::atomic<int> connections{0};
    connection_ = QStringLiteral("travcard-journal-%1").arg(++connections);
    const QFileInfo file(path);
    if (!QDir().mkpath(file.absolutePath()))
        fail(QStringLiteral("open"), QStringLiteral("its folder cannot be created"));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    if (!db.isValid())
        fail(QStringLiteral("open"), QStringLiteral("Qt's SQLite driver is not installed"));
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeout.count()));
    if (!db.open())
        fail(QStringLiteral("open"), db.lastError().text());
    QSqlQuery query(db);
    // WAL lets readers and one writer work at once. synchronous=NORMAL in WAL
    // mode loses no committed transaction when a process dies; only a power
    // loss may take the last commits back, as it may take the printer's.
    for (const char* pragma : {"PRAGMA journal_mode = WAL", "PRAGMA synchronous = NORMAL"})
        if (!query.exec(QString::fromLatin1(pragma)))
            fail(QStringLiteral("open"), query.lastError().text());
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next())
        fail(QStringLiteral("read"), query.lastError().text());
    if (query.value(0).toInt() != schemaVersion)
        createSchema();
}

Journal::~Journal()
{
    {
        QSqlDatabase db = QSqlDatabase::database(connection_, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(connection_);
}

void Journal::createSchema()
{
    Transaction transaction(*this);
    for (const char* statement : schema)
        transaction.exec(QString::fromLatin1(statement));
    transaction.exec(QStringLiteral("PRAGMA user_version = %1").arg(schemaVersion));
    transaction.commit();
}

void Journal::fail(const QString& what, const QString& reason) const
{
    throw JournalError(QStringLiteral("The print journal %1 cannot be %2: %3")
                           .arg(QDir::toNativeSeparators(path_),
                                what == QLatin1String("open") ? QStringLiteral("opened")
                                : what == QLatin1String("read") ? QStringLiteral("read")
                                                                : QStringLiteral("written"),
                                reason.trimmed().isEmpty() ? QStringLiteral("unknown error") : reason.trimmed())
                           .toStdString());
}

std::int64_t Journal::startRun(const RunStart& run, const std::vector<PlannedTicket>& tickets)
{
    int planned = 0;
    for (const PlannedTicket& ticket : tickets)
        planned += ticket.copies;
    Transaction transaction(*this);
    QSqlQuery insertRun = transaction.prepare(QStringLiteral(
        "INSERT INTO runs (started, station, user, version, source, request_id, location, shop_order,"
        " suffix, operation, quantity, printer, printer_type, planned, owner, shared)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    const QVariant values[] = {
        QVariant::fromValue<qint64>(nowMs()), QSysInfo::machineHostName(), loginName(), qtext(run.version),
        qtext(run.source), run.requestId ? QVariant(qtext(*run.requestId)) : QVariant(),
        qtext(run.location), qtext(run.order), qtext(run.suffix), qtext(run.operation), qtext(run.quantity),
        qtext(run.printer), qtext(run.printerType), planned,
        qtext(currentRunOwner()), bytes(run.shared)};
    for (int i = 0; i < static_cast<int>(std::size(values)); ++i)
        insertRun.bindValue(i, values[i]);
    transaction.exec(insertRun);
    const std::int64_t id = insertRun.lastInsertId().toLongLong();

    const QString insertTickets =
        QStringLiteral("INSERT INTO tickets (run, position, operation, copy, data) VALUES ");
    const QString row = QStringLiteral("(?, ?, ?, ?, ?)");
    QSqlQuery full;
    if (planned >= rowsPerStatement)
        full = transaction.prepare(insertTickets + placeholderRows(row, rowsPerStatement));
    QSqlQuery rest;
    QSqlQuery* query = nullptr;
    int position = 0, slot = 0;
    for (const PlannedTicket& ticket : tickets) {
        const QString operation = qtext(ticket.operation);
        for (int copy = 1; copy <= ticket.copies; ++copy) {
            if (!query) {
                const int rows = std::min(rowsPerStatement, planned - position);
                if (rows < rowsPerStatement)
                    rest = transaction.prepare(insertTickets + placeholderRows(row, rows));
                query = rows < rowsPerStatement ? &rest : &full;
                slot = 0;
            }
            ++position;
            query->bindValue(slot++, QVariant::fromValue<qint64>(id));
            query->bindValue(slot++, position);
            query->bindValue(slot++, operation);
            query->bindValue(slot++, copy);
            query->bindValue(slot++, copy == 1 ? QVariant(bytes(ticket.data)) : QVariant());
            if (slot == 5 * rowsPerStatement || position == planned) {
                transaction.exec(*query);
                query = nullptr;
            }
        }
    }
    transaction.commit();
    return id;
}

void Journal::sending(std::int64_t run, int confirmedFrom, int first, const std::vector<TicketDigest>& digests)
{
    Transaction transaction(*this);
    if (confirmedFrom < first) {
        QSqlQuery confirm = transaction.prepare(QStringLiteral(
            "UPDATE tickets SET state = 2 WHERE run = ? AND position >= ? AND position < ?"));
        confirm.bindValue(0, QVariant::fromValue<qint64>(run));
        confirm.bindValue(1, confirmedFrom);
        confirm.bindValue(2, first);
        transaction.exec(confirm);
    }
    // An upsert on rows that exist: the planned row takes its size and digest.
    const QString upsert = QStringLiteral("INSERT INTO tickets (run, position, length, sha256, state) VALUES ");
    const QString onConflict = QStringLiteral(
        " ON CONFLICT (run, position) DO UPDATE SET length = excluded.length,"
        " sha256 = excluded.sha256, state = 1");
    const QString row = QStringLiteral("(?, ?, ?, ?, 1)");
    const int count = static_cast<int>(digests.size());
    QSqlQuery full;
    if (count >= rowsPerStatement)
        full = transaction.prepare(upsert + placeholderRows(row, rowsPerStatement) + onConflict);
    for (int start = 0; start < count; start += rowsPerStatement) {
        const int rows = std::min(rowsPerStatement, count - start);
        QSqlQuery rest;
        if (rows < rowsPerStatement)
            rest = transaction.prepare(upsert + placeholderRows(row, rows) + onConflict);
        QSqlQuery& query = rows < rowsPerStatement ? rest : full;
        int slot = 0;
        for (int i = start; i < start + rows; ++i) {
            const TicketDigest& digest = digests[static_cast<std::size_t>(i)];
            query.bindValue(slot++, QVariant::fromValue<qint64>(run));
            query.bindValue(slot++, first + i);
            query.bindValue(slot++, QVariant::fromValue<qint64>(digest.length));
            query.bindValue(slot++, bytes(digest.sha256));
        }
        transaction.exec(query);
    }
    transaction.commit();
}

void Journal::endRun(std::int64_t run, RunOutcome outcome, int confirmed, const std::string& message)
{
    Transaction transaction(*this);
    const QVariant id = QVariant::fromValue<qint64>(run);
    QSqlQuery settle = transaction.prepare(QStringLiteral(
        "UPDATE tickets SET state = CASE WHEN position <= ? THEN 2 ELSE 1 END"
        " WHERE run = ? AND state <> 0 AND (state = 2) <> (position <= ?)"));
    settle.bindValue(0, confirmed);
    settle.bindValue(1, id);
    settle.bindValue(2, confirmed);
    transaction.exec(settle);
    QSqlQuery end = transaction.prepare(QStringLiteral(
        "UPDATE runs SET ended = ?, confirmed = ?, outcome = ?, message = ?, owner = NULL,"
        " in_doubt = (SELECT count(*) FROM tickets WHERE tickets.run = runs.id AND state = 1)"
        " WHERE id = ?"));
    end.bindValue(0, QVariant::fromValue<qint64>(nowMs()));
    end.bindValue(1, confirmed);
    end.bindValue(2, qtext(outcomeName(outcome)));
    end.bindValue(3, qtext(message));
    end.bindValue(4, id);
    transaction.exec(end);
    transaction.commit();
}

int Journal::closeInterruptedRuns()
{
    Transaction transaction(*this);
    QSqlQuery open = transaction.exec(QStringLiteral("SELECT id, owner FROM runs WHERE ended IS NULL"));
    std::vector<qint64> gone;
    while (open.next())
        if (!runOwnerAlive(stdText(open.value(1))))
            gone.push_back(open.value(0).toLongLong());
    QSqlQuery close = transaction.prepare(QStringLiteral(
        "UPDATE runs SET ended = ?, outcome = 'interrupted', owner = NULL,"
        " message = 'The program ended before the run did.',"
        " confirmed = (SELECT count(*) FROM tickets WHERE tickets.run = runs.id AND state = 2),"
        " in_doubt = (SELECT count(*) FROM tickets WHERE tickets.run = runs.id AND state = 1)"
        " WHERE id = ?"));
    for (const qint64 id : gone) {
        close.bindValue(0, QVariant::fromValue<qint64>(nowMs()));
        close.bindValue(1, QVariant::fromValue<qint64>(id));
        transaction.exec(close);
    }
    transaction.commit();
    return static_cast<int>(gone.size());
}

int Journal::prune(int days, std::chrono::milliseconds budget)
{
    constexpr int runsPerChunk = 50;
    const qint64 cutoff = nowMs() - qint64{days} * 24 * 60 * 60 * 1000;
    QElapsedTimer clock;
    clock.start();
    int removed = 0;
    while (clock.elapsed() < budget.count()) {
        Transaction transaction(*this);
        QSqlQuery old = transaction.prepare(QStringLiteral(
            "SELECT id FROM runs WHERE started < ? AND ended IS NOT NULL ORDER BY started LIMIT ?"));
        old.bindValue(0, cutoff);
        old.bindValue(1, runsPerChunk);
        transaction.exec(old);
        std::vector<qint64> ids;
        while (old.next())
            ids.push_back(old.value(0).toLongLong());
        QSqlQuery tickets = transaction.prepare(QStringLiteral("DELETE FROM tickets WHERE run = ?"));
        QSqlQuery runs = transaction.prepare(QStringLiteral("DELETE FROM runs WHERE id = ?"));
        for (const qint64 id : ids) {
            tickets.bindValue(0, id);
            transaction.exec(tickets);
            runs.bindValue(0, id);
            transaction.exec(runs);
        }
        transaction.commit();
        removed += static_cast<int>(ids.size());
        if (ids.size() < runsPerChunk)
            break;
    }
    return removed;
}

std::vector<RunRecord> Journal::runs(int limit)
{
    Transaction transaction(*this, Transaction::Read);
    QSqlQuery query = transaction.prepare(QStringLiteral(
        "SELECT id, started, ended, station, user, version, source, request_id, location, shop_order,"
        " suffix, operation, quantity, printer, printer_type, planned, confirmed, in_doubt, outcome,"
        " message, shared FROM runs ORDER BY id DESC LIMIT ?"));
    query.bindValue(0, limit);
    transaction.exec(query);
    std::vector<RunRecord> runs;
    while (query.next()) {
        int c = 0;
        RunRecord r;
        r.id = query.value(c++).toLongLong();
        r.started = query.value(c++).toLongLong();
        r.ended = query.value(c++).toLongLong();
        for (std::string* text : {&r.station, &r.user, &r.version, &r.source, &r.requestId, &r.location,
                                  &r.order, &r.suffix, &r.operation, &r.quantity, &r.printer, &r.printerType})
            *text = stdText(query.value(c++));
        r.planned = query.value(c++).toInt();
        r.confirmed = query.value(c++).toInt();
        r.inDoubt = query.value(c++).toInt();
        r.outcome = stdText(query.value(c++));
        r.message = stdText(query.value(c++));
        r.shared = stdBytes(query.value(c++));
        runs.push_back(std::move(r));
    }
    transaction.commit();
    return runs;
}

std::vector<TicketRecord> Journal::tickets(std::int64_t run)
{
    Transaction transaction(*this, Transaction::Read);
    QSqlQuery query = transaction.prepare(QStringLiteral(
        "SELECT position, operation, copy, data, length, sha256, state FROM tickets"
        " WHERE run = ? ORDER BY position"));
    query.bindValue(0, QVariant::fromValue<qint64>(run));
    transaction.exec(query);
    std::vector<TicketRecord> tickets;
    while (query.next()) {
        TicketRecord t;
        t.position = query.value(0).toInt();
        t.operation = stdText(query.value(1));
        t.copy = query.value(2).toInt();
        t.data = stdBytes(query.value(3));
        t.length = query.value(4).toLongLong();
        t.sha256 = stdBytes(query.value(5));
        t.state = static_cast<TicketState>(query.value(6).toInt());
        tickets.push_back(std::move(t));
    }
    transaction.commit();
    return tickets;
}
