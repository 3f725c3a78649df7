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

