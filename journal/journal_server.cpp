// A journal on a PostgreSQL server: the URI as libpq reads it, the
// connection and the bounds of every call of its session.

#include "journal/journal_transaction.h"
#include "journal/run_owner.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDriver>
#include <QSqlField>
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
                                   // A mark's lease check reads what was
                                   // committed before it took the writers'
                                   // lock: a snapshot per statement.
                                   QStringLiteral("SET default_transaction_isolation = 'read committed'"),
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

// A batch's marks are one call of travcard_mark (journal_schema.cpp), one
// round trip: a mark is on the run's way to the printer. Its values are
// written into the call as Qt's driver writes a prepared statement's; its
// tickets as JSON, an array of [position, operation, copy, length, SHA-256
// in hex] each (as arrays, a batch is built in half the time that objects
// take). A commit is on the server's disk when the call returns
// (synchronous_commit is on: see connectToServer).
void Journal::sendingOnServer(std::int64_t run, TicketCounts counts, int first,
                              const std::vector<TicketDigest>& digests)
{
    QJsonArray batch;
    for (std::size_t i = 0; i < digests.size(); ++i) {
        const TicketDigest& digest = digests[i];
        batch.append(QJsonArray{first + static_cast<qint64>(i), qtext(digest.operation), digest.copy,
                                static_cast<qint64>(digest.length),
                                QString::fromLatin1(bytes(digest.sha256).toHex())});
    }
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    const auto literal = [&db](const QVariant& value) {
        QSqlField field(QString(), value.metaType());
        field.setValue(value);
        return db.driver()->formatValue(field);
    };
    const QString printer = markedUnder_ ? literal(qtext(markedUnder_->printer)) : QStringLiteral("NULL");
    const QString call =
        QStringLiteral("SELECT travcard_mark(%1, ").arg(run) + printer +
        QStringLiteral(", %1, %2, ").arg(markedUnder_ ? markedUnder_->fence : 0).arg(leaseMargin.count()) +
        literal(qtext(currentRunOwner(true))) + QStringLiteral(", ") +
        literal(QString::fromUtf8(QJsonDocument(batch).toJson(QJsonDocument::Compact))) +
        QStringLiteral("::jsonb, %1, %2)").arg(counts.confirmed).arg(counts.printed);
    for (bool again = true;; again = false) {
        if (!db.isOpen())
            connectToServer(db);
        const ServerWatch watch(db, callTimeout);
        QElapsedTimer took;
        took.start();
        QSqlQuery marked(db);
        if (marked.exec(call) && marked.next()) {
            if (!marked.value(0).toBool())
                fail(QStringLiteral("written"), QStringLiteral("this station's lease on the printer %1 has run out, "
                                                               "and another station may print to it")
                                                    .arg(qtext(markedUnder_->printer)));
            break;
        }
        // Sent again only on a connection found closed at once: a call the
        // watch cut may still be run by the server.
        if (db.isOpen() || !again || took.elapsed() >= 1000)
            fail(QStringLiteral("written"), marked.lastError().text());
    }
    ++durableCommits_;
}
