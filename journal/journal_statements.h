#pragma once
// A transaction of a Journal as journal/'s own tools use it
// (Journal::transact): statements of their own, on the journal's
// connection, each bounded as the journal's calls are.

#include <QSqlQuery>
#include <QString>

class JournalStatements {
public:
    // {int64}, {max} and the journal's other words are said in its dialect.
    virtual QSqlQuery prepare(const QString& sql) const = 0;
    // A statement that fails ends the transaction and throws JournalError.
    virtual void exec(QSqlQuery& query) const = 0;

protected:
    ~JournalStatements() = default;
};
