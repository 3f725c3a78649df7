// Runs whose program is gone (a dead process, an expired lease): closed as
// interrupted, their claims given back when nothing of them was marked.

#include "journal/journal_transaction.h"
#include "journal/run_lock.h"
#include "journal/run_owner.h"

#include <QSqlQuery>

#include <vector>

using namespace journal_sql;

void Journal::closeIfGone(const Transaction& transaction, std::int64_t run)
{
    QSqlQuery open = transaction.prepare(
        QStringLiteral("SELECT owner, lease_expires - {now} FROM runs WHERE id = ? AND ended IS NULL"));
    open.bindValue(0, QVariant::fromValue<qint64>(run));
    transaction.exec(open);
    const bool gone = open.next() && !ownerAlive(stdText(open.value(0)), run, open.value(1));
    open.finish();
    if (gone)
        closeInterrupted(transaction, run);
}

// On a server no lock file tells of a run: its lease does (leaseLeft, ms,
// NULL for a run recorded before leases), and its owner, for a run of this
// boot of this machine. A run of this process is alive: it renews its own
// lease, and one that could not has stopped writing anyway.
bool Journal::ownerAlive(const std::string& owner, std::int64_t run, const QVariant& leaseLeft) const
{
    if (server_) {
        // Nobody's: it waits in the services' shared queue.
        if (owner.empty() || owner == currentRunOwner(true))
            return true;
        if (!leaseLeft.isNull() && leaseLeft.toLongLong() < 0)
            return false;
        return serverRunOwnerAlive(owner);
    }
    return runOwnerAlive(owner, runLockState(path_, run));
}

// The printer had taken the tickets before the last batch, or as many as
// were confirmed on their own; the others sent are in doubt.
void Journal::closeInterrupted(const Transaction& transaction, std::int64_t run)
{
    const QVariant id = QVariant::fromValue<qint64>(run);
    // A run of the services' shared queue whose worker died before it
    // marked a ticket waits again, nobody's, for another worker: its caller
    // was told it is queued, and nothing of it can have printed.
    if (server_ && requeueShared(transaction, run))
        return;
    QSqlQuery confirmed = transaction.prepare(QStringLiteral(
        "UPDATE runs SET confirmed = {max}(confirmed, printed, coalesce((SELECT max(confirmed_before) FROM tickets"
        " WHERE id BETWEEN ? AND ?), 0)) WHERE id = ?"));
    confirmed.bindValue(0, firstKey(run));
    confirmed.bindValue(1, lastKey(run));
    confirmed.bindValue(2, id);
    transaction.exec(confirmed);
    QSqlQuery close = transaction.prepare(QStringLiteral(
        "UPDATE runs SET ended = ?, outcome = 'interrupted', owner = NULL,"
        " message = 'The program ended before the run did.',"
        " in_doubt = (SELECT count(*) FROM tickets WHERE id > CAST(? AS BIGINT) + runs.confirmed AND id <= ?)"
        " WHERE id = ?"));
    close.bindValue(0, QVariant::fromValue<qint64>(nowMs()));
    close.bindValue(1, ticketKey(run, 0));
    close.bindValue(2, lastKey(run));
    close.bindValue(3, id);
    transaction.exec(close);
    releaseClaimsIfUnmarked(transaction, run);
}

// Nothing of such a run can have printed: another run may take its request
// id, or finish the run it meant to finish. A run someone asked to stop
// keeps its request id: a retry is told it was cancelled, and prints nothing.
void Journal::releaseClaimsIfUnmarked(const Transaction& transaction, std::int64_t run)
{
    QSqlQuery release = transaction.prepare(QStringLiteral(
        "UPDATE runs SET request_id = CASE WHEN stop_asked IS NULL THEN NULL ELSE request_id END, rest_of = NULL"
        " WHERE id = ? AND outcome {isnot} 'printed'"
        " AND NOT EXISTS (SELECT 1 FROM tickets WHERE id BETWEEN ? AND ?)"));
    release.bindValue(0, QVariant::fromValue<qint64>(run));
    release.bindValue(1, firstKey(run));
    release.bindValue(2, lastKey(run));
    transaction.exec(release);
}

int Journal::closeInterruptedRuns()
{
    Transaction transaction(*this);
    QSqlQuery open =
        transaction.exec(QStringLiteral("SELECT id, owner, lease_expires - {now} FROM runs WHERE ended IS NULL"));
    std::vector<qint64> gone;
    while (open.next())
        if (!ownerAlive(stdText(open.value(1)), open.value(0).toLongLong(), open.value(2)))
            gone.push_back(open.value(0).toLongLong());
    open.finish();
    for (const qint64 id : gone)
        closeInterrupted(transaction, id);
    transaction.commit();
    return static_cast<int>(gone.size());
}

