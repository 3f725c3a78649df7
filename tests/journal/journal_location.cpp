#include "tests/journal/journal_location.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

namespace {

// The role and database that scripts/lib/postgres.sh creates.
constexpr const char* role = "tkr";
constexpr const char* rolePassword = "opr_relay";

#ifdef TRAVCARD_JOURNAL_ON_SERVER
class ServerNamed : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (!std::getenv("TRAVCARD_PG_DIR") || !std::getenv("TRAVCARD_PG_PORT"))
            GTEST_SKIP() << "needs the PostgreSQL server of scripts/test (TRAVCARD_PG_DIR, TRAVCARD_PG_PORT)";
    }
};
[[maybe_unused]] const auto* const serverNamed = ::testing::AddGlobalTestEnvironment(new ServerNamed);
#endif

}  // namespace

QString JournalLocation::uri(const QString& database, const QString& userInfo, const QString& query)
{
    return QStringLiteral("postgresql://%1@127.0.0.1:%2/%3%4")
        .arg(userInfo, qEnvironmentVariable("TRAVCARD_PG_PORT"), database, query);
}

bool JournalLocation::psql(const QString& sql, const QString& database)
{
    QProcess process;
    process.start("psql", {"-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", qEnvironmentVariable("TRAVCARD_PG_DIR"), "-p",
                           qEnvironmentVariable("TRAVCARD_PG_PORT"), "-U", "postgres", "-d", database, "-c", sql});
    return process.waitForFinished(30'000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

JournalLocation::JournalLocation()
{
    if (!journalOnServer) {
        path_ = QString::fromStdString(dir_.file("journal.sqlite"));
        return;
    }
    static std::atomic<int> made{0};
    database_ = QStringLiteral("journal_%1_%2").arg(QCoreApplication::applicationPid()).arg(++made);
    EXPECT_TRUE(psql(QStringLiteral("CREATE DATABASE %1 OWNER %2").arg(database_, QLatin1String(role))));
    path_ = uri(database_, QStringLiteral("%1:%2").arg(QLatin1String(role), QLatin1String(rolePassword)));
}

JournalLocation::~JournalLocation()
{
    if (!database_.isEmpty()) {
        EXPECT_TRUE(psql(QStringLiteral("DROP DATABASE %1 WITH (FORCE)").arg(database_)));
    }
}

void JournalLocation::byHand(const QStringList& statements) const
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(journalOnServer ? "QPSQL" : "QSQLITE", "by-hand");
        if (journalOnServer) {
            db.setHostName("127.0.0.1");
            db.setPort(qEnvironmentVariableIntValue("TRAVCARD_PG_PORT"));
            db.setUserName(role);
            db.setPassword(rolePassword);
        }
        db.setDatabaseName(journalOnServer ? database_ : path_);
        ASSERT_TRUE(db.open()) << db.lastError().text().toStdString();
        QSqlQuery query(db);
        for (const QString& statement : statements)
            ASSERT_TRUE(query.exec(statement)) << statement.toStdString() << ": " << query.lastError().text().toStdString();
    }
    QSqlDatabase::removeDatabase("by-hand");
}
