// A journal shared by a plant, on a server: leases (one writer per
// printer, and a run's owner known alive by the lease it renews rather than
// by its process id, which another machine cannot check), the services'
// shared queue, and the notices of runs' ends.

#include "journal/journal_transaction.h"
#include "journal/run_owner.h"
#include "journal/station_name.h"

#include <QSqlDriver>

std::int64_t Journal::serverNow(const Transaction& transaction) const
{
    QSqlQuery now = transaction.exec(QStringLiteral("SELECT {now}"));
    if (!now.next())
        fail(QStringLiteral("read"), QStringLiteral("the server did not say its time"));
    return now.value(0).toLongLong();
}

std::variant<std::int64_t, PrinterHolder> Journal::takePrinterLease(const std::string& printer,
                                                                    const std::string& holder,
                                                                    std::chrono::milliseconds stallLimit)
{
    if (!server_)
        throw std::logic_error("printer leases are kept on a server's journal");
    Transaction transaction(*this);
    QSqlQuery held = transaction.prepare(
        QStringLiteral("SELECT holder, station, expires - {now}, fence FROM printer_leases WHERE printer = ?"));
    held.bindValue(0, qtext(printer));
    transaction.exec(held);
    std::int64_t fence = 1;
    if (held.next()) {
        const bool free = held.value(0).isNull() || held.value(2).toLongLong() + stallLimit.count() <= 0;
        if (!free) {
            PrinterHolder other{stdText(held.value(1)), held.value(2).toLongLong()};
            held.finish();
            transaction.commit();
            return other;
        }
        fence = held.value(3).toLongLong() + 1;
    }
    held.finish();
    QSqlQuery take = transaction.prepare(QStringLiteral(
        "INSERT INTO printer_leases (printer, holder, process, station, expires, fence)"
        " VALUES (?, ?, ?, ?, {now} + ?, ?) ON CONFLICT (printer) DO UPDATE SET holder = excluded.holder,"
        " process = excluded.process, station = excluded.station, expires = excluded.expires, fence = excluded.fence"));
    const QVariant values[] = {qtext(printer), qtext(holder), qtext(currentRunOwner(true)),
                               stationName(), QVariant::fromValue<qint64>(leaseTerm.count()),
                               QVariant::fromValue<qint64>(fence)};
    for (int i = 0; i < static_cast<int>(std::size(values)); ++i)
        take.bindValue(i, values[i]);
    transaction.exec(take);
    transaction.commit();
    return fence;
}

void Journal::releasePrinterLease(const std::string& printer, const std::string& holder)
{
    Transaction transaction(*this);
    QSqlQuery release = transaction.prepare(QStringLiteral(
        "UPDATE printer_leases SET holder = NULL, process = NULL, expires = {now} WHERE printer = ? AND holder = ?"));
    release.bindValue(0, qtext(printer));
    release.bindValue(1, qtext(holder));
    transaction.exec(release);
    transaction.commit();
}

std::vector<HeldLease> Journal::renewLeases()
{
    Transaction transaction(*this, Transaction::Unlocked);
    const QString owner = qtext(currentRunOwner(true));
    QSqlQuery runs = transaction.prepare(
        QStringLiteral("UPDATE runs SET lease_expires = {now} + ? WHERE owner = ? AND ended IS NULL"));
    runs.bindValue(0, QVariant::fromValue<qint64>(leaseTerm.count()));
    runs.bindValue(1, owner);
    transaction.exec(runs);
    // A lease that expired stays lost: its printer may be another's by now.
    QSqlQuery printers = transaction.prepare(
        QStringLiteral("UPDATE printer_leases SET expires = {now} + ? WHERE process = ? AND holder IS NOT NULL"
                       " AND expires > {now} RETURNING printer, holder"));
    printers.bindValue(0, QVariant::fromValue<qint64>(leaseTerm.count()));
    printers.bindValue(1, owner);
    transaction.exec(printers);
    std::vector<HeldLease> held;
    while (printers.next())
        held.push_back({stdText(printers.value(0)), stdText(printers.value(1))});
    printers.finish();
    transaction.commit();
    return held;
}

void Journal::markUnderLease(const std::string& printer, std::int64_t fence)
{
    markedUnder_ = PrinterFence{printer, fence};
}

// The services' shared queue: a run accepted by any instance waits, nobody's,
// until a worker for its printer takes it.

void Journal::queueShared(std::int64_t run, const std::string& printer, const std::string& request)
{
    Transaction transaction(*this);
    QSqlQuery queue = transaction.prepare(
        QStringLiteral("UPDATE runs SET queued_for = ?, request = ?, owner = NULL WHERE id = ? AND ended IS NULL"));
    queue.bindValue(0, qtext(printer));
    queue.bindValue(1, bytes(request));
    queue.bindValue(2, QVariant::fromValue<qint64>(run));
    transaction.exec(queue);
    transaction.commit();
}

bool Journal::returnShared(std::int64_t run)
{
    Transaction transaction(*this);
    const bool returned = requeueShared(transaction, run);
    transaction.commit();
    return returned;
}

bool Journal::requeueShared(const Transaction& transaction, std::int64_t run)
{
    QSqlQuery back = transaction.prepare(QStringLiteral(
        "UPDATE runs SET owner = NULL, lease_expires = NULL WHERE id = ? AND ended IS NULL AND queued_for IS NOT NULL"
        " AND request IS NOT NULL AND stop_asked IS NULL AND NOT EXISTS (SELECT 1 FROM tickets WHERE id BETWEEN ? AND ?)"));
    back.bindValue(0, QVariant::fromValue<qint64>(run));
    back.bindValue(1, firstKey(run));
    back.bindValue(2, lastKey(run));
    transaction.exec(back);
    return back.numRowsAffected() > 0;
}

std::optional<SharedRun> Journal::takeShared(const std::string& printer)
{
    Transaction transaction(*this);
    QSqlQuery next = transaction.prepare(
        QStringLiteral("SELECT id, request FROM runs WHERE queued_for = ? AND owner IS NULL AND ended IS NULL"
                       " ORDER BY id LIMIT 1") +
        (server_ ? QStringLiteral(" FOR UPDATE SKIP LOCKED") : QString()));
    next.bindValue(0, qtext(printer));
    transaction.exec(next);
    if (!next.next())
        return std::nullopt;
    SharedRun taken{next.value(0).toLongLong(), stdBytes(next.value(1))};
    next.finish();
    // The station that prints it owns it from now on: its spooler's jobs, its history.
    QSqlQuery take = transaction.prepare(
        QStringLiteral("UPDATE runs SET owner = ?, station = ?, lease_expires = {now} + ? WHERE id = ?"));
    take.bindValue(0, qtext(currentRunOwner(true)));
    take.bindValue(1, stationName());
    take.bindValue(2, QVariant::fromValue<qint64>(leaseTerm.count()));
    take.bindValue(3, QVariant::fromValue<qint64>(taken.run));
    transaction.exec(take);
    transaction.commit();
    return taken;
}

bool Journal::cancelShared(std::int64_t run, const std::string& message)
{
    {
        Transaction transaction(*this, Transaction::Read);
        QSqlQuery waiting = transaction.prepare(
            QStringLiteral("SELECT 1 FROM runs WHERE id = ? AND owner IS NULL AND queued_for IS NOT NULL"));
        waiting.bindValue(0, QVariant::fromValue<qint64>(run));
        transaction.exec(waiting);
        if (!waiting.next())
            return false;
    }
    // Taken in between: its worker reads the stop request instead.
    return cancelUnbegun(run, message, true);
}
void Journal::listenForEnds(std::function<void(std::int64_t run)> ended)
{
    if (!server_)
        return;
    QSqlDriver* driver = QSqlDatabase::database(connection_, false).driver();
    if (!driver->subscribeToNotification(QLatin1String(runEndedChannel)))
        fail(QStringLiteral("read"), driver->lastError().text());
    QObject::connect(driver, &QSqlDriver::notification, driver,
                     [ended = std::move(ended)](const QString&, QSqlDriver::NotificationSource, const QVariant& payload) {
                         bool number = false;
                         const qint64 run = payload.toString().toLongLong(&number);
                         if (number)
                             ended(run);
                     });
}

bool Journal::answers()
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    const ServerWatch watch(db, callTimeout);
    QSqlQuery query(db);
    return db.isOpen() && query.exec(QStringLiteral("SELECT 1")) && query.next();
}
