#pragma once
// What journal/'s own sources share to speak to the journal's database: the
// transaction every call is, the dialect's words, the keys of tickets and
// conversions of values. Not for use outside journal/.

#include "journal/journal.h"
#include "journal/server_watch.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include <sqlite3.h>

#include <chrono>
#include <string>

namespace journal_sql {

// 1: runs, plans and tickets. 2: runs.rest_of, the run whose rest a run prints.
// 3: runs.dpi, the resolution a Zebra run was laid out for. 4: runs.asked,
// what else a request asked for that its request id binds, and
// runs.spool_job, the CUPS job a run's tickets went to. 5: runs.printed, how
// many of the run's first tickets the printer proved it printed. 6:
// runs.stop_asked, when another program asked the run to stop. 7:
// runs.lease_expires, until when a run's owner (on a server) is known to
// live; runs.copied_from, the station and number a run had in the journal it
// was copied from; runs.queued_for and runs.request, the printer a run waits
// for in the services' shared queue and the request it prints;
// printer_leases, who writes to a printer; on a server, travcard_mark, the
// function that marks a batch.
inline constexpr int schemaVersion = 7;

// The statement with the dialect's words ({max}, {now}, ...) put in.
QString spoken(const JournalDialect& dialect, QString sql);

// The key of a run's ticket at position, and the range of a run's keys.
inline qint64 ticketKey(std::int64_t run, std::int64_t position) { return (run << 32) + position; }
inline qint64 firstKey(std::int64_t run) { return ticketKey(run, 1); }
inline qint64 lastKey(std::int64_t run) { return ticketKey(run, 0xffffffff); }

inline std::int64_t nowMs() { return QDateTime::currentMSecsSinceEpoch(); }

inline QByteArray bytes(const std::string& text) { return QByteArray(text.data(), static_cast<qsizetype>(text.size())); }
inline QString qtext(const std::string& text) { return QString::fromStdString(text); }
inline std::string stdText(const QVariant& value) { return value.toString().toStdString(); }
inline std::string stdBytes(const QVariant& value)
{
    const QByteArray data = value.toByteArray();
    return std::string(data.constData(), static_cast<std::size_t>(data.size()));
}

// SQLITE_BUSY or SQLITE_LOCKED, extended codes (such as a busy snapshot) included.
inline bool isBusy(const QSqlError& error)
{
    const int primary = error.nativeErrorCode().toInt() & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// A unique index refused the row: SQLite's code, PostgreSQL's SQLSTATE.
inline bool isUniqueViolation(const QSqlError& error, bool server)
{
    const QString code = error.nativeErrorCode();
    if (server)
        return code == QLatin1String("23505");
    return code == QString::number(SQLITE_CONSTRAINT) || code == QString::number(SQLITE_CONSTRAINT_UNIQUE);
}

// The server's lock that lets one writer in at a time, as SQLite's write
// lock does ("travcard" in ASCII): every journal on one database shares it.
inline constexpr qint64 writerLockKey = 0x7472617663617264;

// No call waits on a server for longer: a connection is given up after
// connectTimeout, a statement after statementTimeout, a lock (the writers'
// one included) after the busy time-out, a call whose server does not answer
// at all after callTimeout (server_watch.h). A network that stops answering
// ends the connection after keepalives or tcp_user_timeout.
inline constexpr std::chrono::seconds connectTimeout{5};
inline constexpr std::chrono::seconds statementTimeout{10};
inline constexpr std::chrono::seconds callTimeout = statementTimeout + std::chrono::seconds(2);

}  // namespace journal_sql

using namespace journal_sql;

// A write takes the write lock at once (waiting at most the busy time-out):
// SQLite's BEGIN IMMEDIATE, so that two processes never deadlock upgrading a
// read, or the server's writer lock, so that what a writer reads stays true
// until it commits, as in SQLite.
class Journal::Transaction {
public:
    // Unlocked: a write that takes row locks only, not the writers' lock
    // (on a server; SQLite's is one lock): a lease's renewal, which must not
    // wait behind the plant's marks.
    enum Kind { Write, Read, Unlocked };
    explicit Transaction(const Journal& journal, Kind kind = Write)
        : journal_(journal), db_(QSqlDatabase::database(journal.connection_, false))
    {
        if (journal.server_)
            beginOnServer(kind);
        else
            beginOnFile(kind);
    }
    ~Transaction()
    {
        // A connection to a server can be lost part-way: nothing to end then.
        if (!committed_ && db_.isOpen())
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
        if (!query.prepare(spoken(journal_.dialect(), sql)))
            fail(QStringLiteral("used"), query.lastError());
        return query;
    }
    void exec(QSqlQuery& query) const
    {
        if (!query.exec())
            fail(QStringLiteral("written"), query.lastError());
    }
    QSqlQuery exec(const QString& sql) const
    {
        QSqlQuery query(db_);
        if (!query.exec(spoken(journal_.dialect(), sql)))
            fail(QStringLiteral("written"), query.lastError());
        return query;
    }
    // Runs a statement as it is, unprepared: its caller puts the dialect's
    // words in (spoken) before the values, so that no value is read as one.
    QSqlQuery execWhole(const QString& sql) const
    {
        QSqlQuery query(db_);
        if (!query.exec(sql))
            fail(QStringLiteral("written"), query.lastError());
        return query;
    }
    [[noreturn]] void fail(const QString& done, const QSqlError& error) const
    {
        abandon();
        journal_.fail(done, error.text());
    }
    // A server's failed transaction is ended at once, before the statements
    // still prepared are freed: it would refuse to free them.
    void abandon() const
    {
        if (journal_.server_ && !committed_) {
            if (db_.isOpen())
                QSqlQuery(db_).exec(QStringLiteral("ROLLBACK"));
            committed_ = true;
        }
    }

private:
    void beginOnFile(Kind kind)
    {
        // While another program switches the file to WAL or recovers its
        // log, SQLite answers busy at once, without waiting: try again
        // until the busy time-out has passed.
        const QString begin = kind != Read ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN");
        QElapsedTimer waited;
        waited.start();
        QSqlQuery query(db_);
        while (!query.exec(begin)) {
            if (!isBusy(query.lastError()) || waited.elapsed() >= busyTimeout.count())
                journal_.fail(QStringLiteral("written"), query.lastError().text());
            QThread::msleep(10);
        }
    }

    // A write reads what the writers before it committed (READ COMMITTED
    // takes a snapshot per statement, after the lock); a read sees one
    // snapshot throughout, as SQLite's do. A connection the server closed
    // (it restarted, or ended the session) is opened again, once.
    void beginOnServer(Kind kind)
    {
        const QString begin = kind != Read ? QStringLiteral("BEGIN ISOLATION LEVEL READ COMMITTED")
                                           : QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY");
        if (!db_.isOpen())
            journal_.connectToServer(db_);
        watch_.restart(db_, callTimeout);
        if (QSqlQuery query(db_); !query.exec(begin)) {
            if (db_.isOpen())
                journal_.fail(QStringLiteral("written"), query.lastError().text());
            watch_.stop();
            journal_.connectToServer(db_);
            watch_.restart(db_, callTimeout);
            if (QSqlQuery again(db_); !again.exec(begin))
                journal_.fail(QStringLiteral("written"), again.lastError().text());
        }
        if (kind == Write)
            exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(writerLockKey));
    }

    const Journal& journal_;
    QSqlDatabase db_;
    mutable bool committed_ = false;
    ServerWatch watch_;  // until the transaction has ended
};
