// Reading the journal: runs, one run, and a run's tickets with their states.

#include "journal/field_codec.h"
#include "journal/journal_transaction.h"
#include "journal/station_name.h"

#include <QSqlQuery>

#include <algorithm>

using namespace journal_sql;

namespace {

// The planned tickets, one per copy; nothing when the plan is damaged.
std::optional<std::vector<TicketRecord>> decodePlan(std::string_view plan)
{
    std::vector<TicketRecord> tickets;
    while (!plan.empty()) {
        const std::optional<std::string_view> operation = readField(plan);
        const std::optional<std::uint64_t> copies = operation ? readNumber(plan) : std::nullopt;
        const std::optional<std::string_view> data = copies ? readField(plan) : std::nullopt;
        // A quantity refuses more than 32,767 copies; more is a damaged plan.
        if (!data || *copies > 32767)
            return std::nullopt;
        for (std::uint64_t copy = 1; copy <= *copies; ++copy) {
            TicketRecord ticket;
            ticket.position = static_cast<int>(tickets.size()) + 1;
            ticket.operation = std::string(*operation);
            ticket.copy = static_cast<int>(copy);
            ticket.data = std::string(*data);
            tickets.push_back(std::move(ticket));
        }
    }
    return tickets;
}

}  // namespace

std::optional<RunRecord> Journal::runWithRequest(const std::string& requestId)
{
    Transaction transaction(*this, Transaction::Read);
    QSqlQuery query = transaction.prepare(QStringLiteral("SELECT id FROM runs WHERE request_id = ?"));
    query.bindValue(0, qtext(requestId));
    transaction.exec(query);
    const qint64 id = query.next() ? query.value(0).toLongLong() : 0;  // runs are numbered from 1
    query.finish();
    transaction.commit();
    if (id == 0)
        return std::nullopt;
    return run(id);
}

std::optional<RunRecord> Journal::run(std::int64_t id)
{
    Transaction transaction(*this, Transaction::Read);
    std::vector<RunRecord> found = readRuns(transaction, 1, {}, 0, id);
    transaction.commit();
    if (found.empty())
        return std::nullopt;
    return std::move(found.front());
}

std::optional<std::int64_t> Journal::runPrintingTheRestOf(std::int64_t run)
{
    Transaction transaction(*this, Transaction::Read);
    const std::optional<std::int64_t> holder = runHolding(transaction, "rest_of", QVariant::fromValue<qint64>(run));
    transaction.commit();
    return holder;
}

std::vector<RunRecord> Journal::runs(int limit, const std::string& order, std::int64_t since, std::int64_t before,
                                     const std::string& station)
{
    Transaction transaction(*this, Transaction::Read);
    std::vector<RunRecord> found = readRuns(transaction, limit, order, since, 0, before, station);
    transaction.commit();
    return found;
}

std::vector<RunRecord> Journal::readRuns(const Transaction& transaction, int limit, const std::string& order,
                                         std::int64_t since, std::int64_t only, std::int64_t before,
                                         const std::string& station)
{
    QSqlQuery query = transaction.prepare(QStringLiteral(
        "SELECT id, started, ended, station, \"user\", version, source, request_id, location, shop_order,"
        " suffix, operation, quantity, printer, printer_type, planned,"
        // A run still going keeps its count with its latest batch, or on its
        // own while a slow printer takes the tickets told.
        " CASE WHEN ended IS NULL THEN {max}(confirmed, coalesce((SELECT max(confirmed_before) FROM tickets"
        "   WHERE tickets.id BETWEEN (runs.id << 32) + 1 AND (runs.id << 32) + 4294967295), 0))"
        " ELSE confirmed END, in_doubt, outcome,"
        " message, shared, dpi, asked, printed,"
        " CASE WHEN ended IS NULL AND owner IS NULL AND queued_for IS NOT NULL THEN 1 ELSE 0 END"
        " FROM runs LEFT JOIN plans ON plans.run = runs.id"
        " WHERE (? = '' OR shop_order = ?) AND started >= ? AND (CAST(? AS BIGINT) = 0 OR id = ?)"
        " AND (CAST(? AS BIGINT) = 0 OR id < ?) AND (? = '' OR station = ?)"
        " ORDER BY id DESC LIMIT ?"));
    query.bindValue(0, qtext(order));
    query.bindValue(1, qtext(order));
    query.bindValue(2, QVariant::fromValue<qint64>(since));
    query.bindValue(3, QVariant::fromValue<qint64>(only));
    query.bindValue(4, QVariant::fromValue<qint64>(only));
    query.bindValue(5, QVariant::fromValue<qint64>(before));
    query.bindValue(6, QVariant::fromValue<qint64>(before));
    query.bindValue(7, qtext(station));
    query.bindValue(8, qtext(station));
    query.bindValue(9, limit);
    transaction.exec(query);
    std::vector<RunRecord> runs;
    while (query.next()) {
        int c = 0;
        RunRecord r;
        r.id = query.value(c++).toLongLong();
        r.started = query.value(c++).toLongLong();
        r.ended = query.value(c++).toLongLong();
        for (std::string* text : {&r.station, &r.user, &r.version, &r.source, &r.requestId, &r.location,
                                  &r.order, &r.suffix, &r.operation, &r.quantity, &r.printer, &r.printerType})
            *text = stdText(query.value(c++));
        r.planned = query.value(c++).toInt();
        r.confirmed = query.value(c++).toInt();
        r.inDoubt = query.value(c++).toInt();
        r.outcome = stdText(query.value(c++));
        r.message = stdText(query.value(c++));
        r.shared = stdBytes(query.value(c++));
        r.dpi = query.value(c++).toInt();
        if (const QVariant asked = query.value(c++); !asked.isNull())
            r.asked = stdBytes(asked);
        r.printed = query.value(c++).toInt();
        r.queued = query.value(c++).toInt() != 0;
        runs.push_back(std::move(r));
    }
    return runs;
}

std::vector<TicketRecord> Journal::tickets(std::int64_t run)
{
    Transaction transaction(*this, Transaction::Read);
    const QVariant id = QVariant::fromValue<qint64>(run);
    QSqlQuery planQuery = transaction.prepare(QStringLiteral(
        "SELECT plan, confirmed, ended IS NULL FROM runs JOIN plans ON plans.run = runs.id WHERE id = ?"));
    planQuery.bindValue(0, id);
    transaction.exec(planQuery);
    if (!planQuery.next())
        return {};
    const std::string plan = stdBytes(planQuery.value(0));
    int confirmed = planQuery.value(1).toInt();
    const bool running = planQuery.value(2).toBool();
    std::optional<std::vector<TicketRecord>> tickets = decodePlan(plan);
    if (!tickets)
        fail(QStringLiteral("read"), QStringLiteral("the plan of run %1 is damaged").arg(run));
    QSqlQuery sent = transaction.prepare(QStringLiteral(
        "SELECT id - ?, length, sha256, confirmed_before FROM tickets WHERE id BETWEEN ? AND ? ORDER BY id"));
    sent.bindValue(0, ticketKey(run, 0));
    sent.bindValue(1, firstKey(run));
    sent.bindValue(2, lastKey(run));
    transaction.exec(sent);
    std::vector<int> sentPositions;
    while (sent.next()) {
        const int position = sent.value(0).toInt();
        if (position < 1 || position > static_cast<int>(tickets->size()))
            continue;
        TicketRecord& ticket = (*tickets)[static_cast<std::size_t>(position - 1)];
        ticket.length = sent.value(1).toLongLong();
        ticket.sha256 = stdBytes(sent.value(2));
        if (running)
            confirmed = std::max(confirmed, sent.value(3).toInt());
        sentPositions.push_back(position);
    }
    for (const int position : sentPositions)
        (*tickets)[static_cast<std::size_t>(position - 1)].state =
            position <= confirmed ? TicketState::Confirmed : TicketState::Sending;
    transaction.commit();
    return std::move(*tickets);
}
