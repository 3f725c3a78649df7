// A journal on a PostgreSQL server: the URI as libpq reads it, the
// connection and the bounds of every call of its session.

#include "journal/journal_transaction.h"

#include <QSqlDriver>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>

namespace {

// A value of libpq's connection options, quoted.
QString optionValue(QString value)
{
    value.replace(u'\\', QLatin1String("\\\\"));
    value.replace(u'\'', QLatin1String("\\'"));
    return u'\'' + value + u'\'';
}

}  // namespace

int Journal::openOnServer()
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection_);
    if (!db.isValid())
        fail(QStringLiteral("opened"), QStringLiteral("Qt's PostgreSQL driver is not installed (libqt6sql6-psql)"));
    configureServer(db);
    connectToServer(db);
    const ServerWatch watch(db, callTimeout);
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT to_regclass('journal_version') IS NOT NULL")) || !query.next())
        fail(QStringLiteral("read"), query.lastError().text());
    if (!query.value(0).toBool())
        return 0;
    if (!query.exec(QStringLiteral("SELECT coalesce(max(version), 0) FROM journal_version")) || !query.next())
        fail(QStringLiteral("read"), query.lastError().text());
    return query.value(0).toInt();
}

// The URI as libpq reads it: its user, password, host and port, and its
// database; ?host= names a socket's folder, and any other parameter is one of
// libpq's options. Without a password libpq reads ~/.pgpass (or PGPASSFILE).
void Journal::configureServer(QSqlDatabase& db) const
{
    const QUrl url(path_);
    if (!url.isValid())
        fail(QStringLiteral("opened"),
             QStringLiteral("it is not a PostgreSQL URI (postgresql://user@host/database)"));
    QUrlQuery query(url);
    const auto part = [&query](const char* name, const QString& inUri) {
        const QString key = QString::fromLatin1(name);
        const QString given = query.queryItemValue(key, QUrl::FullyDecoded);
        query.removeAllQueryItems(key);
        return inUri.isEmpty() ? given : inUri;
    };
    db.setHostName(part("host", url.host(QUrl::FullyDecoded)));
    db.setUserName(part("user", url.userName(QUrl::FullyDecoded)));
    db.setPassword(part("password", url.password(QUrl::FullyDecoded)));
    db.setDatabaseName(part("dbname", url.path(QUrl::FullyDecoded).mid(1)));
    const QString port = part("port", url.port() < 0 ? QString() : QString::number(url.port()));
    bool numeric = port.isEmpty();
    if (!port.isEmpty())
        db.setPort(port.toInt(&numeric));
    if (!numeric)
        fail(QStringLiteral("opened"), QStringLiteral("its port is not a number"));
    QStringList options{QStringLiteral("connect_timeout=%1").arg(connectTimeout.count()),
                        QStringLiteral("application_name=travcard"), QStringLiteral("keepalives_idle=10"),
                        QStringLiteral("keepalives_interval=5"), QStringLiteral("keepalives_count=3"),
                        QStringLiteral("tcp_user_timeout=%1").arg(std::chrono::milliseconds(statementTimeout).count())};
    for (const auto& [name, value] : query.queryItems(QUrl::FullyDecoded)) {
        // Qt's driver reads a semicolon as a space between options.
        const bool word = !name.isEmpty() && std::all_of(name.begin(), name.end(), [](QChar c) {
            return (c >= u'a' && c <= u'z') || c == u'_';
        });
        if (!word || value.contains(u';'))
            fail(QStringLiteral("opened"), QStringLiteral("its option \"%1\" cannot be given to libpq").arg(name));
        options.append(name + u'=' + optionValue(value));
    }
    db.setConnectOptions(options.join(u';'));
}

// Opens the connection, and bounds every call of its session. A commit is on
// the server's disk before it returns (synchronous_commit on, or stricter),
// as a mark must be before its tickets leave.
void Journal::connectToServer(QSqlDatabase& db) const
{
    if (!db.open())
        fail(QStringLiteral("opened"), db.lastError().text());
    const ServerWatch watch(db, callTimeout);
    QSqlQuery query(db);
    for (const QString& setting : {QStringLiteral("SET statement_timeout = %1")
                                       .arg(std::chrono::milliseconds(statementTimeout).count()),
                                   QStringLiteral("SET lock_timeout = %1").arg(busyTimeout.count()),
                                   // A station that dies inside a transaction
                                   // holds the writers' lock until the server
                                   // lets its session go: at once when idle,
                                   // and within half a minute when its machine
                                   // is gone.
                                   QStringLiteral("SET idle_in_transaction_session_timeout = 10000"),
                                   QStringLiteral("SET tcp_keepalives_idle = 10"),
                                   QStringLiteral("SET tcp_keepalives_interval = 5"),
                                   QStringLiteral("SET tcp_keepalives_count = 3"),
                                   QStringLiteral("SET client_min_messages = warning")})
        if (!query.exec(setting))
            fail(QStringLiteral("opened"), query.lastError().text());
    if (!query.exec(QStringLiteral("SELECT current_setting('synchronous_commit')")) || !query.next())
        fail(QStringLiteral("opened"), query.lastError().text());
    if (query.value(0).toString() == QLatin1String("off") &&
        !query.exec(QStringLiteral("SET synchronous_commit = on")))
        fail(QStringLiteral("opened"), query.lastError().text());
}

// A batch's marks are one statement (besides the transaction's begin, its
// lock and commit): the lease's check, the tickets and the printed count,
// its values written into it. A commit is on the server's disk when it
// returns (synchronous_commit is on: see connectToServer).
void Journal::sendingOnServer(std::int64_t run, TicketCounts counts, int first,
                              const std::vector<TicketDigest>& digests)
{
    Transaction transaction(*this);
    QString rows;
    rows.reserve(static_cast<qsizetype>(digests.size()) * 140);
    for (std::size_t i = 0; i < digests.size(); ++i) {
        const TicketDigest& digest = digests[i];
        const qint64 key = ticketKey(run, first + static_cast<std::int64_t>(i));
        rows += (i == 0 ? QStringLiteral("(") : QStringLiteral(",(")) + QString::number(key) + u',' +
                transaction.literal(qtext(digest.operation)) + u',' + QString::number(digest.copy) + u',' +
                QString::number(digest.length) + QStringLiteral(",decode('") +
                QString::fromLatin1(bytes(digest.sha256).toHex()) + QStringLiteral("','hex'),") +
                QString::number(counts.confirmed) + u')';
    }
    const QString printed = QString::number(counts.printed);
    const QString insert =
        rows.isEmpty() ? QString()
                       : QStringLiteral("marked AS (INSERT INTO tickets (id, operation, copy, length, sha256, "
                                        "confirmed_before) SELECT * FROM (VALUES ") +
                             rows + QStringLiteral(") AS batch WHERE (SELECT yes FROM allowed) RETURNING 1), ");
    QSqlQuery marked = transaction.execWhole(
        QStringLiteral("WITH allowed AS (SELECT ") + printerLeaseHeld(transaction, run) + QStringLiteral(" AS yes), ") +
        insert + QStringLiteral("printed AS (UPDATE runs SET printed = ") +
        printed + QStringLiteral(" WHERE id = ") + QString::number(run) + QStringLiteral(" AND printed < ") + printed +
        QStringLiteral(" AND (SELECT yes FROM allowed) RETURNING 1) SELECT yes FROM allowed"));
    const bool allowed = marked.next() && marked.value(0).toBool();
    marked.finish();
    if (!allowed)
        failLeaseLost(transaction);
    transaction.commit();
    ++durableCommits_;
}
