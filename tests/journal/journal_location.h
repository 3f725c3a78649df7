#pragma once
// Where a journal test's journal is: a file in a scratch folder, or, in the
// programs built with TRAVCARD_JOURNAL_ON_SERVER, a database of its own on
// the throwaway PostgreSQL server of scripts/test (TRAVCARD_PG_DIR,
// TRAVCARD_PG_PORT), created for the test and dropped after it. The same
// tests run on both.

#include "tests/fixtures/data_source.h"

#include <QString>
#include <QStringList>

#ifdef TRAVCARD_JOURNAL_ON_SERVER
inline constexpr bool journalOnServer = true;
#else
inline constexpr bool journalOnServer = false;
#endif

class JournalLocation {
public:
    JournalLocation();
    ~JournalLocation();
    JournalLocation(const JournalLocation&) = delete;
    JournalLocation& operator=(const JournalLocation&) = delete;

    // What JOURNAL= would name: the file, or the database's URI with the
    // test role's password.
    const QString& path() const { return path_; }

    // Statements run on the journal by hand, as with sqlite3 or psql.
    void byHand(const QStringList& statements) const;

    // The database's URI with user, password and the query given.
    static QString uri(const QString& database, const QString& userInfo, const QString& query = {});
    // psql as the server's superuser, over its socket; false when it fails.
    static bool psql(const QString& sql, const QString& database = QStringLiteral("postgres"));

private:
    ScratchDir dir_;
    QString database_;  // on the server
    QString path_;
};
