// Claims and stop requests: a request id claimed by one run, a run that
// gives its claim back having sent nothing, and another program's wish that
// a run stop.

#include "journal/journal_transaction.h"

#include <QSqlQuery>

#include <stdexcept>

using namespace journal_sql;

std::variant<std::int64_t, RunRecord> Journal::claimRequest(const RunStart& run)
{
    if (!run.requestId)
        throw std::invalid_argument("claimRequest needs a request id");
    Transaction transaction(*this);
    const QVariant key = qtext(*run.requestId);
    std::optional<std::int64_t> holder = runHolding(transaction, "request_id", key);
    if (holder) {
        closeIfGone(transaction, *holder);
        holder = runHolding(transaction, "request_id", key);
    }
    std::variant<std::int64_t, RunRecord> claim;
    if (holder) {
        std::vector<RunRecord> held = readRuns(transaction, 1, {}, 0, *holder);
        if (held.empty())
            fail(QStringLiteral("read"), QStringLiteral("run %1 cannot be read").arg(*holder));
        claim = std::move(held.front());
    } else {
        claim = insertRun(transaction, run, {});
    }
    try {
        transaction.commit();
    } catch (const JournalError&) {
        if (const std::int64_t* id = std::get_if<std::int64_t>(&claim))
            releaseLock(*id);
        throw;
    }
    return claim;
}

std::optional<std::int64_t> Journal::runHolding(const Transaction& transaction, const char* column,
                                                const QVariant& value)
{
    QSqlQuery query = transaction.prepare(QStringLiteral("SELECT id FROM runs WHERE %1 = ?").arg(QLatin1String(column)));
    query.bindValue(0, value);
    transaction.exec(query);
    return query.next() ? std::optional<std::int64_t>(query.value(0).toLongLong()) : std::nullopt;
}

bool Journal::releaseRun(std::int64_t run, const std::string& message)
{
    Transaction transaction(*this);
    QSqlQuery claim = transaction.prepare(QStringLiteral(
        "SELECT stop_asked IS NOT NULL FROM runs WHERE id = ? AND ended IS NULL"
        " AND NOT EXISTS (SELECT 1 FROM tickets WHERE id BETWEEN ? AND ?)"));
    claim.bindValue(0, QVariant::fromValue<qint64>(run));
    claim.bindValue(1, firstKey(run));
    claim.bindValue(2, lastKey(run));
    transaction.exec(claim);
    if (!claim.next())
        return false;
    const bool stopAsked = claim.value(0).toBool();
    claim.finish();
    if (stopAsked)
        recordEnd(transaction, run, RunOutcome::Cancelled, 0, "The run was cancelled before it began.");
    else
        recordEnd(transaction, run, RunOutcome::Failed, 0,
                  message.empty() ? std::string("The run ended before it sent anything.") : message);
    transaction.commit();
    releaseLock(run);
    return true;
}

bool Journal::cancelUnbegun(std::int64_t run, const std::string& message, bool onlyNobodys)
{
    Transaction transaction(*this);
    QSqlQuery cancel = transaction.prepare(
        QStringLiteral("UPDATE runs SET ended = ?, outcome = ?, message = ?, owner = NULL, rest_of = NULL"
                       " WHERE id = ? AND ended IS NULL AND NOT EXISTS (SELECT 1 FROM tickets WHERE id BETWEEN ? AND ?)") +
        (onlyNobodys ? QStringLiteral(" AND owner IS NULL") : QString()));
    cancel.bindValue(0, QVariant::fromValue<qint64>(nowMs()));
    cancel.bindValue(1, qtext(outcomeName(RunOutcome::Cancelled)));
    cancel.bindValue(2, qtext(message));
    cancel.bindValue(3, QVariant::fromValue<qint64>(run));
    cancel.bindValue(4, firstKey(run));
    cancel.bindValue(5, lastKey(run));
    transaction.exec(cancel);
    const bool cancelled = cancel.numRowsAffected() > 0;
    transaction.commit();
    if (cancelled)
        releaseLock(run);
    return cancelled;
}

Journal::StopAsk Journal::askStop(std::int64_t run)
{
    Transaction transaction(*this);
    // Nothing would read the request of a run whose program is gone.
    closeIfGone(transaction, run);
    QSqlQuery ask = transaction.prepare(
        QStringLiteral("UPDATE runs SET stop_asked = coalesce(stop_asked, ?) WHERE id = ? AND ended IS NULL"));
    ask.bindValue(0, QVariant::fromValue<qint64>(nowMs()));
    ask.bindValue(1, QVariant::fromValue<qint64>(run));
    transaction.exec(ask);
    StopAsk answer = StopAsk::Asked;
    if (ask.numRowsAffected() == 0) {
        QSqlQuery found = transaction.prepare(QStringLiteral("SELECT 1 FROM runs WHERE id = ?"));
        found.bindValue(0, QVariant::fromValue<qint64>(run));
        transaction.exec(found);
        answer = found.next() ? StopAsk::Ended : StopAsk::Unknown;
        found.finish();
    }
    transaction.commit();
    return answer;
}

bool Journal::runFound(const char* condition, std::int64_t run)
{
    Transaction transaction(*this, Transaction::Read);
    QSqlQuery found =
        transaction.prepare(QStringLiteral("SELECT 1 FROM runs WHERE id = ? AND %1").arg(QLatin1String(condition)));
    found.bindValue(0, QVariant::fromValue<qint64>(run));
    transaction.exec(found);
    const bool any = found.next();
    found.finish();
    transaction.commit();
    return any;
}

bool Journal::stopAsked(std::int64_t run) { return runFound("stop_asked IS NOT NULL AND ended IS NULL", run); }

bool Journal::stopAskedOrEnded(std::int64_t run) { return runFound("(stop_asked IS NOT NULL OR ended IS NOT NULL)", run); }

std::vector<std::int64_t> Journal::runsAskedToStop()
{
    Transaction transaction(*this, Transaction::Read);
    QSqlQuery asked = transaction.exec(
        QStringLiteral("SELECT id FROM runs WHERE stop_asked IS NOT NULL AND ended IS NULL ORDER BY id"));
    std::vector<std::int64_t> runs;
    while (asked.next())
        runs.push_back(asked.value(0).toLongLong());
    asked.finish();
    transaction.commit();
    return runs;
}
