#include "journal/journal.h"

#include "journal/field_codec.h"
#include "journal/file_system.h"
#include "journal/journal_statements.h"
#include "journal/journal_transaction.h"
#include "journal/process_account.h"
#include "journal/run_lock.h"
#include "journal/run_owner.h"
#include "journal/server_watch.h"
#include "journal/station_name.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QThread>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>

using namespace journal_sql;

RestTaken::RestTaken(std::int64_t run, std::int64_t by)
    : JournalError("The rest of run " + std::to_string(run) + " is printed by run " + std::to_string(by) + "."),
      run_(run), by_(by)
{
}

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

bool isServerJournal(const QString& location)
{
    return location.startsWith(QLatin1String("postgresql://"), Qt::CaseInsensitive) ||
           location.startsWith(QLatin1String("postgres://"), Qt::CaseInsensitive);
}

QString journalDisplayName(const QString& location)
{
    if (!isServerJournal(location))
        return QDir::toNativeSeparators(location);
    QUrl url(location);
    if (!url.isValid())
        return location.section(u':', 0, 0) + QStringLiteral("://(a URI that cannot be read)");
    QUrlQuery query(url);
    query.removeAllQueryItems(QStringLiteral("password"));
    url.setQuery(query);
    return url.toDisplayString(QUrl::RemovePassword);
}

bool journalNeedsPassword(const QString& location)
{
    if (!isServerJournal(location))
        return false;
    const QUrl url(location);
    return url.isValid() && !url.hasFragment() && url.password().isEmpty() &&
           !QUrlQuery(url).hasQueryItem(QStringLiteral("password"));
}

QString journalWithPassword(const QString& location, const QString& password)
{
    if (password.isEmpty() || !journalNeedsPassword(location))
        return location;
    const QUrl url(location);
    // Appended, not set through QUrl, so that the rest stays as written.
    QString joint = QStringLiteral("&");
    if (!url.hasQuery())
        joint = QStringLiteral("?");
    else if (location.endsWith(u'?') || location.endsWith(u'&'))
        joint.clear();
    return location + joint + QStringLiteral("password=") + QString::fromLatin1(QUrl::toPercentEncoding(password));
}

Journal::Journal(const QString& path) : path_(path), shown_(journalDisplayName(path)), server_(isServerJournal(path))
{
    static std::atomic<int> connections{0};
    connection_ = QStringLiteral("travcard-journal-%1").arg(++connections);
    // Looked up here, not while a run's insert holds the file's write lock.
    static_cast<void>(processAccount());
    const int version = server_ ? openOnServer() : openFile();
    if (version > schemaVersion)
        fail(QStringLiteral("opened"),
             QStringLiteral("it was written by a newer travcard (journal version %1).").arg(version));
    if (version != schemaVersion)
        createSchema();
}

int Journal::openFile()
{
    const QFileInfo file(path_);
    if (!QDir().mkpath(file.absolutePath()))
        fail(QStringLiteral("opened"), QStringLiteral("its folder cannot be created"));
    // Two stations writing one file over the network would each keep the
    // log's index in their own memory and corrupt it.
    if (const std::optional<QString> refused = journalFileSystemRefusal(path_))
        fail(QStringLiteral("opened"), *refused);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    if (!db.isValid())
        fail(QStringLiteral("opened"), QStringLiteral("Qt's SQLite driver is not installed"));
    db.setDatabaseName(path_);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeout.count()));
    if (!db.open())
        fail(QStringLiteral("opened"), db.lastError().text());
    QSqlQuery query(db);
    // WAL lets readers and one writer work at once. synchronous=NORMAL in WAL
    // mode loses no committed transaction when a process dies; only a power
    // loss may take the last commits back, as it may take the printer's.
    // A run writes some hundred pages to the log, mostly the same pages again:
    // copying it back into the file (with two syncs) every 10,000 pages rather
    // than every 1,000 costs a tenth as often, for a log of at most ~40 MB,
    // cut back to 16 MB after each copy.
    // Switching to WAL needs the file to itself for a moment, and SQLite
    // reports a busy file at once there rather than wait (waiting could
    // deadlock): several processes opening one journal at once try again
    // until the busy time-out has passed.
    QElapsedTimer waited;
    waited.start();
    const auto busy = [&](const QSqlError& error) { return isBusy(error) && waited.elapsed() < busyTimeout.count(); };
    for (const char* pragma : {"PRAGMA journal_mode = WAL", "PRAGMA synchronous = NORMAL",
                               "PRAGMA wal_autocheckpoint = 10000", "PRAGMA journal_size_limit = 16777216"})
        while (!query.exec(QString::fromLatin1(pragma))) {
            if (!busy(query.lastError()))
                fail(QStringLiteral("opened"), query.lastError().text());
            QThread::msleep(10);
        }
    while (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next()) {
        if (!busy(query.lastError()))
            fail(QStringLiteral("read"), query.lastError().text());
        QThread::msleep(10);
    }
    const int version = query.value(0).toInt();
    // A statement left open keeps its read snapshot, and a write after
    // another program's would then be refused as busy for good.
    query.finish();
    return version;
}

Journal::~Journal()
{
    statements_.reset();
    {
        QSqlDatabase db = QSqlDatabase::database(connection_, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(connection_);
}

void Journal::fail(const QString& done, const QString& reason) const
{
    throw JournalError(QStringLiteral("The print journal %1 cannot be %2: %3")
                           .arg(shown_, done,
                                reason.trimmed().isEmpty() ? QStringLiteral("unknown error") : reason.trimmed())
                           .toStdString());
}

namespace {

// The plan: for each planned entry its operation, its copies and its data.
std::string encodePlan(const std::vector<PlannedTicket>& tickets)
{
    std::string plan;
    for (const PlannedTicket& ticket : tickets) {
        appendField(plan, ticket.operation);
        appendNumber(plan, static_cast<std::uint64_t>(std::max(ticket.copies, 0)));
        appendField(plan, ticket.data);
    }
    return plan;
}

}  // namespace

// The statements of every batch, prepared once per connection on SQLite's
// own handle under Qt's driver (the same libsqlite3): Qt's binding costs
// more than SQLite's work for rows this small, and a run has thousands.
std::atomic<std::int64_t> Journal::durableCommits_{0};

class Journal::Statements {
public:
    explicit Statements(const Journal& journal) : journal_(journal)
    {
        const QVariant handle = QSqlDatabase::database(journal.connection_, false).driver()->handle();
        if (qstrcmp(handle.typeName(), "sqlite3*") == 0)
            db_ = *static_cast<sqlite3* const*>(handle.constData());
        if (!db_)
            journal.fail(QStringLiteral("written"), QStringLiteral("Qt's SQLite driver gave no SQLite handle"));
        durable_ = prepare("PRAGMA synchronous = FULL");
        usual_ = prepare("PRAGMA synchronous = NORMAL");
        begin_ = prepare("BEGIN IMMEDIATE");
        commit_ = prepare("COMMIT");
        rollback_ = prepare("ROLLBACK");
        insert_ = prepare("INSERT INTO tickets (id, operation, copy, length, sha256, confirmed_before)"
                          " VALUES (?, ?, ?, ?, ?, ?)");
        printed_ = prepare("UPDATE runs SET printed = ? WHERE id = ? AND printed < ?");
    }
    ~Statements()
    {
        for (sqlite3_stmt* statement : {durable_, usual_, begin_, commit_, rollback_, insert_, printed_})
            sqlite3_finalize(statement);
    }
    Statements(const Statements&) = delete;
    Statements& operator=(const Statements&) = delete;

    // A mark is on the disk before its tickets leave: synced, so that a
    // power cut after they left cannot take it back (with NORMAL, WAL may
    // lose the last commits). Confirmations and ends stay NORMAL: losing
    // one only widens what is in doubt.
    void sending(std::int64_t run, TicketCounts counts, int first, const std::vector<TicketDigest>& digests)
    {
        step(durable_);
        struct Usual {
            Statements& statements;
            ~Usual() { statements.stepQuietly(statements.usual_); }
        } usual{*this};
        step(begin_);
        try {
            int position = first;
            for (const TicketDigest& digest : digests) {
                sqlite3_bind_int64(insert_, 1, ticketKey(run, position++));
                sqlite3_bind_text(insert_, 2, digest.operation.data(), static_cast<int>(digest.operation.size()),
                                  SQLITE_STATIC);
                sqlite3_bind_int(insert_, 3, digest.copy);
                sqlite3_bind_int64(insert_, 4, digest.length);
                sqlite3_bind_blob(insert_, 5, digest.sha256.data(), static_cast<int>(digest.sha256.size()),
                                  SQLITE_STATIC);
                sqlite3_bind_int(insert_, 6, counts.confirmed);
                step(insert_);
            }
            if (counts.printed > 0) {
                sqlite3_bind_int(printed_, 1, counts.printed);
                sqlite3_bind_int64(printed_, 2, run);
                sqlite3_bind_int(printed_, 3, counts.printed);
                step(printed_);
            }
            step(commit_);
        } catch (const JournalError&) {
            stepQuietly(rollback_);
            throw;
        }
        ++durableCommits_;
    }

private:
    sqlite3_stmt* prepare(const char* sql)
    {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK)
            journal_.fail(QStringLiteral("written"), QString::fromUtf8(sqlite3_errmsg(db_)));
        return statement;
    }
    void step(sqlite3_stmt* statement)
    {
        const int result = sqlite3_step(statement);
        if (result != SQLITE_DONE && result != SQLITE_ROW) {
            const QString reason = QString::fromUtf8(sqlite3_errmsg(db_));
            sqlite3_reset(statement);
            journal_.fail(QStringLiteral("written"), reason);
        }
        sqlite3_reset(statement);
    }

    void stepQuietly(sqlite3_stmt* statement)
    {
        sqlite3_step(statement);
        sqlite3_reset(statement);
    }

    const Journal& journal_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* durable_ = nullptr;
    sqlite3_stmt* usual_ = nullptr;
    sqlite3_stmt* begin_ = nullptr;
    sqlite3_stmt* commit_ = nullptr;
    sqlite3_stmt* rollback_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* printed_ = nullptr;
};

std::int64_t Journal::startRun(const RunStart& run, const std::vector<PlannedTicket>& tickets)
{
    Transaction transaction(*this);
    if (run.restOf) {
        const QVariant rest = QVariant::fromValue<qint64>(*run.restOf);
        if (const std::optional<std::int64_t> holder = runHolding(transaction, "rest_of", rest)) {
            closeIfGone(transaction, *holder);
            if (const std::optional<std::int64_t> still = runHolding(transaction, "rest_of", rest)) {
                transaction.commit();  // what closing found
                throw RestTaken(*run.restOf, *still);
            }
        }
    }
    const std::int64_t id = insertRun(transaction, run, tickets);
    try {
        transaction.commit();
    } catch (const JournalError&) {
        releaseLock(id);
        throw;
    }
    return id;
}

std::int64_t Journal::insertRun(const Transaction& transaction, const RunStart& run,
                                const std::vector<PlannedTicket>& tickets)
{
    int planned = 0;
    for (const PlannedTicket& ticket : tickets)
        planned += std::max(ticket.copies, 0);
    QSqlQuery insertRun = transaction.prepare(QStringLiteral(
        "INSERT INTO runs (started, station, \"user\", version, source, request_id, location, shop_order,"
        " suffix, operation, quantity, printer, printer_type, planned, owner, rest_of, dpi, asked, lease_expires)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id"));
    const QVariant values[] = {
        QVariant::fromValue<qint64>(nowMs()), stationName(),
        run.user.empty() ? processAccount() : qtext(run.user), qtext(run.version),
        qtext(run.source), run.requestId ? QVariant(qtext(*run.requestId)) : QVariant(),
        qtext(run.location), qtext(run.order), qtext(run.suffix), qtext(run.operation), qtext(run.quantity),
        qtext(run.printer), qtext(run.printerType), planned,
        qtext(currentRunOwner(true)), run.restOf ? QVariant::fromValue<qint64>(*run.restOf) : QVariant(),
        run.dpi ? QVariant(run.dpi) : QVariant(), run.asked.empty() ? QVariant() : QVariant(bytes(run.asked)),
        // A server's clock, not this station's, counts a run's lease: read
        // before the insert, a moment early, as a lease must never be longer.
        server_ ? QVariant::fromValue<qint64>(serverNow(transaction) + leaseTerm.count()) : QVariant()};
    for (int i = 0; i < static_cast<int>(std::size(values)); ++i)
        insertRun.bindValue(i, values[i]);
    if (!insertRun.exec() || !insertRun.next()) {
        // The one constraint an insert of a new row can break.
        const QSqlError error = insertRun.lastError();
        if (run.requestId && isUniqueViolation(error, server_)) {
            transaction.abandon();
            throw DuplicateRequest("Request ID " + *run.requestId + " is held by another run.");
        }
        transaction.fail(QStringLiteral("written"), error);
    }
    const std::int64_t id = insertRun.value(0).toLongLong();
    insertRun.finish();
    QSqlQuery insertPlan = transaction.prepare(QStringLiteral("INSERT INTO plans (run, shared, plan) VALUES (?, ?, ?)"));
    insertPlan.bindValue(0, QVariant::fromValue<qint64>(id));
    insertPlan.bindValue(1, bytes(run.shared));
    insertPlan.bindValue(2, bytes(encodePlan(tickets)));
    transaction.exec(insertPlan);
    // Taken before the run can be seen, so that no reader finds it running
    // and unlocked. Without its lock the run's process id tells whether it
    // runs. On a server there is no lock: the owner's mark only tells its PID
    // namespace (see serverRunOwnerAlive).
    if (!server_ && !takeRunLock(path_, id)) {
        QSqlQuery unlocked = transaction.prepare(QStringLiteral("UPDATE runs SET owner = ? WHERE id = ?"));
        unlocked.bindValue(0, qtext(currentRunOwner(false)));
        unlocked.bindValue(1, QVariant::fromValue<qint64>(id));
        transaction.exec(unlocked);
    }
    return id;
}

void Journal::releaseLock(std::int64_t run) const
{
    if (!server_)
        releaseRunLock(path_, run);
}

void Journal::planRun(std::int64_t run, const RunStart& start, const std::vector<PlannedTicket>& tickets)
{
    int planned = 0;
    for (const PlannedTicket& ticket : tickets)
        planned += std::max(ticket.copies, 0);
    const std::string& shared = start.shared;
    Transaction transaction(*this);
    QSqlQuery count = transaction.prepare(QStringLiteral("UPDATE runs SET planned = ?, dpi = ? WHERE id = ?"));
    count.bindValue(0, planned);
    count.bindValue(1, start.dpi ? QVariant(start.dpi) : QVariant());
    count.bindValue(2, QVariant::fromValue<qint64>(run));
    transaction.exec(count);
    QSqlQuery plan = transaction.prepare(QStringLiteral("UPDATE plans SET shared = ?, plan = ? WHERE run = ?"));
    plan.bindValue(0, bytes(shared));
    plan.bindValue(1, bytes(encodePlan(tickets)));
    plan.bindValue(2, QVariant::fromValue<qint64>(run));
    transaction.exec(plan);
    transaction.commit();
}

void Journal::sending(std::int64_t run, TicketCounts counts, int first, const std::vector<TicketDigest>& digests)
{
    if (server_) {
        sendingOnServer(run, counts, first, digests);
        return;
    }
    if (!statements_)
        statements_ = std::make_unique<Statements>(*this);
    statements_->sending(run, counts, first, digests);
}

void Journal::unsent(std::int64_t run, int written)
{
    Transaction transaction(*this);
    // A run another program closed meanwhile keeps what it counted in doubt.
    QSqlQuery remove = transaction.prepare(QStringLiteral(
        "DELETE FROM tickets WHERE id BETWEEN ? AND ? AND EXISTS (SELECT 1 FROM runs WHERE id = ? AND ended IS NULL)"));
    remove.bindValue(0, ticketKey(run, std::int64_t{written} + 1));
    remove.bindValue(1, lastKey(run));
    remove.bindValue(2, QVariant::fromValue<qint64>(run));
    transaction.exec(remove);
    transaction.commit();
}

void Journal::confirm(std::int64_t run, TicketCounts counts)
{
    Transaction transaction(*this);
    // Numbers only: sent whole, without preparing. What the printer took
    // stays taken, also when it is told after another program closed the
    // run: its tickets in doubt are counted again.
    transaction.execWhole(spoken(dialect(), QStringLiteral(
        "UPDATE runs SET confirmed = {max}(confirmed, %1), printed = {max}(printed, %2),"
        " in_doubt = CASE WHEN ended IS NULL THEN in_doubt ELSE (SELECT count(*) FROM tickets"
        " WHERE id > %4 + {max}(runs.confirmed, %1, %2) AND id <= %5) END"
        " WHERE id = %3 AND (confirmed < %1 OR printed < %2)"))
                              .arg(counts.confirmed)
                              .arg(counts.printed)
                              .arg(run)
                              .arg(ticketKey(run, 0))
                              .arg(lastKey(run)));
    transaction.commit();
}

void Journal::spooled(std::int64_t run, int job)
{
    Transaction transaction(*this);
    QSqlQuery update = transaction.prepare(QStringLiteral("UPDATE runs SET spool_job = ? WHERE id = ?"));
    update.bindValue(0, job);
    update.bindValue(1, QVariant::fromValue<qint64>(run));
    transaction.exec(update);
    transaction.commit();
}

std::vector<SpooledRun> Journal::spooledRunsInDoubt(int limit, std::int64_t only)
{
    Transaction transaction(*this, Transaction::Read);
    QSqlQuery query = transaction.prepare(QStringLiteral(
        "SELECT id, printer, spool_job FROM runs WHERE spool_job IS NOT NULL AND ended IS NOT NULL"
        " AND in_doubt > 0 AND outcome {isnot} 'interrupted' AND (CAST(? AS BIGINT) = 0 OR id = ?)"
        " AND (? = '' OR station = ?) ORDER BY id DESC LIMIT ?"));
    // A job number means something only to its own station's spooler.
    const QString station = server_ ? stationName() : QStringLiteral("");
    query.bindValue(0, QVariant::fromValue<qint64>(only));
    query.bindValue(1, QVariant::fromValue<qint64>(only));
    query.bindValue(2, station);
    query.bindValue(3, station);
    query.bindValue(4, limit);
    transaction.exec(query);
    std::vector<SpooledRun> runs;
    while (query.next())
        runs.push_back({query.value(0).toLongLong(), stdText(query.value(1)), query.value(2).toInt()});
    query.finish();
    transaction.commit();
    return runs;
}

bool Journal::confirmSpooled(std::int64_t run, int job, const std::string& note)
{
    Transaction transaction(*this);
    // The tickets of a run that ended are those it wrote, from position 1 on.
    QSqlQuery update = transaction.prepare(QStringLiteral(
        "UPDATE runs SET confirmed = (SELECT coalesce(max(id), ?) - ? FROM tickets WHERE id BETWEEN ? AND ?),"
        " in_doubt = 0,"
        " outcome = CASE WHEN (SELECT count(*) FROM tickets WHERE id BETWEEN ? AND ?) >= planned"
        "   THEN 'printed' ELSE outcome END,"
        " message = CASE WHEN coalesce(message, '') = '' THEN ? ELSE message || ? END"
        " WHERE id = ? AND spool_job = ? AND ended IS NOT NULL AND in_doubt > 0 AND outcome {isnot} 'interrupted'"));
    const QVariant values[] = {ticketKey(run, 0), ticketKey(run, 0), firstKey(run), lastKey(run),
                               firstKey(run),     lastKey(run),      qtext(note),   qtext('\n' + note),
                               QVariant::fromValue<qint64>(run), job};
    for (int i = 0; i < static_cast<int>(std::size(values)); ++i)
        update.bindValue(i, values[i]);
    transaction.exec(update);
    const bool confirmed = update.numRowsAffected() > 0;
    transaction.commit();
    return confirmed;
}

void Journal::endRun(std::int64_t run, RunOutcome outcome, TicketCounts counts, const std::string& message)
{
    Transaction transaction(*this);
    recordEnd(transaction, run, outcome, counts, message);
    transaction.commit();
    releaseLock(run);  // only once the end is recorded: until then the run is this process's
}

void Journal::recordEnd(const Transaction& transaction, std::int64_t run, RunOutcome outcome, TicketCounts counts,
                        const std::string& message)
{
    // What the printer proved it printed stays proven, whatever came after.
    QSqlQuery end = transaction.prepare(QStringLiteral(
        "UPDATE runs SET ended = ?, printed = {max}(printed, ?), confirmed = {max}(?, printed, ?), outcome = ?,"
        " message = ?, owner = NULL,"
        " in_doubt = (SELECT count(*) FROM tickets WHERE id > CAST(? AS BIGINT) + {max}(?, printed, ?) AND id <= ?)"
        " WHERE id = ? AND ended IS NULL"));
    end.bindValue(0, QVariant::fromValue<qint64>(nowMs()));
    end.bindValue(1, counts.printed);
    end.bindValue(2, counts.confirmed);
    end.bindValue(3, counts.printed);
    end.bindValue(4, qtext(outcomeName(outcome)));
    end.bindValue(5, qtext(message));
    end.bindValue(6, ticketKey(run, 0));
    end.bindValue(7, counts.confirmed);
    end.bindValue(8, counts.printed);
    end.bindValue(9, lastKey(run));
    end.bindValue(10, QVariant::fromValue<qint64>(run));
    transaction.exec(end);
    // Ended already (closed as interrupted by another program, whose
    // account stands): its claims are what that end left them.
    if (end.numRowsAffected() > 0)
        releaseClaimsIfUnmarked(transaction, run);
}

int Journal::prune(int days, std::chrono::milliseconds budget)
{
    // A chunk is a transaction: at most this many runs, or as many as hold
    // this many tickets (at least one run), so that one chunk stays short.
    constexpr int runsPerChunk = 50;
    constexpr qint64 ticketsPerChunk = 20'000;
    const qint64 cutoff = nowMs() - qint64{days} * 24 * 60 * 60 * 1000;
    QElapsedTimer clock;
    clock.start();
    int removed = 0;
    while (clock.elapsed() < budget.count()) {
        Transaction transaction(*this);
        QSqlQuery old = transaction.prepare(QStringLiteral(
            "SELECT id, planned FROM runs WHERE started < ? AND ended IS NOT NULL AND (? = '' OR station = ?)"
            " ORDER BY started LIMIT ?"));
        // On a server each station keeps its own runs for its own days.
        const QString station = server_ ? stationName() : QStringLiteral("");
        old.bindValue(0, cutoff);
        old.bindValue(1, station);
        old.bindValue(2, station);
        old.bindValue(3, runsPerChunk);
        transaction.exec(old);
        std::vector<qint64> ids;
        qint64 planned = 0;
        while (planned < ticketsPerChunk && old.next()) {
            ids.push_back(old.value(0).toLongLong());
            planned += old.value(1).toLongLong();
        }
        const bool more = static_cast<int>(ids.size()) == runsPerChunk || planned >= ticketsPerChunk;
        old.finish();
        QSqlQuery tickets = transaction.prepare(QStringLiteral("DELETE FROM tickets WHERE id BETWEEN ? AND ?"));
        for (const qint64 id : ids) {
            tickets.bindValue(0, firstKey(id));
            tickets.bindValue(1, lastKey(id));
            transaction.exec(tickets);
        }
        for (const char* const table : {"DELETE FROM plans WHERE run = ?", "DELETE FROM runs WHERE id = ?"}) {
            QSqlQuery remove = transaction.prepare(QString::fromLatin1(table));
            for (const qint64 id : ids) {
                remove.bindValue(0, id);
                transaction.exec(remove);
            }
        }
        transaction.commit();
        removed += static_cast<int>(ids.size());
        if (!more)
            break;
    }
    return removed;
}

void Journal::transact(Access access, const std::function<void(const JournalStatements&)>& work)
{
    class InTransaction final : public JournalStatements {
    public:
        explicit InTransaction(const Transaction& transaction) : transaction_(transaction) {}
        QSqlQuery prepare(const QString& sql) const override { return transaction_.prepare(sql); }
        void exec(QSqlQuery& query) const override { transaction_.exec(query); }

    private:
        const Transaction& transaction_;
    };
    Transaction transaction(*this, access == Access::Write ? Transaction::Write : Transaction::Read);
    work(InTransaction(transaction));
    transaction.commit();
}

