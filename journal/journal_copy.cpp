#include "journal/journal_copy.h"

#include "journal/journal_statements.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <algorithm>
#include <map>
#include <set>
#include <utility>

namespace {

enum class Kind { Int, Int64, Text, Blob };

struct Column {
    const char* name;
    Kind kind;
};

// What a copy carries as it is. The number is given anew, and request_id,
// rest_of and message may be; owner and lease_expires belong to a run being
// printed, which is never copied.
constexpr Column carried[] = {
    {"started", Kind::Int64},     {"ended", Kind::Int64},      {"station", Kind::Text},   {"\"user\"", Kind::Text},
    {"version", Kind::Text},      {"source", Kind::Text},      {"location", Kind::Text},  {"shop_order", Kind::Text},
    {"suffix", Kind::Text},       {"operation", Kind::Text},   {"quantity", Kind::Text},  {"printer", Kind::Text},
    {"printer_type", Kind::Text}, {"planned", Kind::Int},      {"confirmed", Kind::Int},  {"in_doubt", Kind::Int},
    {"outcome", Kind::Text},      {"dpi", Kind::Int},          {"asked", Kind::Blob},     {"spool_job", Kind::Int},
    {"printed", Kind::Int},       {"stop_asked", Kind::Int64}};

QString carriedColumns()
{
    QStringList names;
    for (const Column& column : carried)
        names << QLatin1String(column.name);
    return names.join(QLatin1String(", "));
}

QString marks(qsizetype count) { return QStringList(count, QStringLiteral("?")).join(QLatin1String(", ")); }

// SQLite keeps a value as it was given; a server is told the column's type.
QVariant typed(const QVariant& value, Kind kind)
{
    if (value.isNull())
        return {};
    switch (kind) {
    case Kind::Int: return value.toInt();
    case Kind::Int64: return QVariant::fromValue<qint64>(value.toLongLong());
    case Kind::Text: return value.toString();
    case Kind::Blob: return value.toByteArray();
    }
    return value;
}

QVariant int64(qint64 value) { return QVariant::fromValue<qint64>(value); }

// A run of the journal copied from, as first listed.
struct Listed {
    qint64 id = 0;
    QString station;
    qint64 started = 0;
    bool ended = false;
    qint64 planned = 0;

    QString copiedFrom() const { return station + u'/' + QString::number(id); }
    // For a run numbered as one copied before, of another start.
    QString copiedFromAgain() const { return copiedFrom() + u'@' + QString::number(started); }
};

// The ticket of a run at a position, with what its row holds.
struct TicketRow {
    qint64 position = 0;
    QVariant values[5];  // operation, copy, length, sha256, confirmed_before
};

struct SourceRun {
    std::vector<QVariant> values;  // carried's
    QVariant requestId;
    std::optional<qint64> restOf;
    QString message;
    std::optional<std::pair<QByteArray, QByteArray>> plan;  // shared, plan
    std::vector<TicketRow> tickets;
};

// A run of the target that holds a copied_from key.
struct Holder {
    qint64 id = 0;
    qint64 started = 0;
};

// What one chunk did, kept once it is committed.
struct Chunk {
    qint64 last = 0;  // the number of the last run it settled
    int copied = 0;
    int alreadyCopied = 0;
    std::vector<std::int64_t> open, requestIdsLeft, restsLeft;
    std::map<qint64, qint64> copiedAs;  // the number a run had, and its number in the target
};

// The target's side of a chunk: its statements, prepared once.
class Target {
public:
    explicit Target(const JournalStatements& journal)
        : journal_(journal),
          requestHolder_(journal.prepare(QStringLiteral("SELECT id FROM runs WHERE request_id = ?"))),
          restHolder_(journal.prepare(QStringLiteral("SELECT id FROM runs WHERE rest_of = ?"))),
          copyHolder_(journal.prepare(QStringLiteral("SELECT id FROM runs WHERE copied_from = ?"))),
          insertRun_(
              journal.prepare(QStringLiteral("INSERT INTO runs (%1, request_id, rest_of, message, copied_from)"
                                             " VALUES (%2) RETURNING id")
                                  .arg(carriedColumns(), marks(static_cast<qsizetype>(std::size(carried)) + 4)))),
          insertPlan_(journal.prepare(QStringLiteral("INSERT INTO plans (run, shared, plan) VALUES (?, ?, ?)")))
    {
    }

    // The runs holding these copied_from keys: their numbers and starts.
    std::map<QString, Holder> holding(const QStringList& keys)
    {
        std::map<QString, Holder> held;
        if (keys.isEmpty())
            return held;
        QSqlQuery query =
            journal_.prepare(QStringLiteral("SELECT copied_from, id, started FROM runs WHERE copied_from IN (%1)")
                                 .arg(marks(keys.size())));
        for (qsizetype i = 0; i < keys.size(); ++i)
            query.bindValue(static_cast<int>(i), keys[i]);
        journal_.exec(query);
        while (query.next())
            held[query.value(0).toString()] = {query.value(1).toLongLong(), query.value(2).toLongLong()};
        return held;
    }

    std::optional<qint64> holdingRequest(const QVariant& id) { return holder(requestHolder_, id); }
    std::optional<qint64> printingTheRestOf(qint64 run) { return holder(restHolder_, int64(run)); }
    std::optional<qint64> copiedFrom(const QString& key) { return holder(copyHolder_, key); }

    qint64 insert(const SourceRun& run, const QVariant& requestId, const QVariant& restOf, const QString& message,
                  const QString& copiedFrom)
    {
        int i = 0;
        for (const QVariant& value : run.values)
            insertRun_.bindValue(i++, value);
        for (const QVariant& value : {requestId, restOf, QVariant(message), QVariant(copiedFrom)})
            insertRun_.bindValue(i++, value);
        journal_.exec(insertRun_);
        insertRun_.next();
        const qint64 id = insertRun_.value(0).toLongLong();
        insertRun_.finish();
        if (run.plan) {
            insertPlan_.bindValue(0, int64(id));
            insertPlan_.bindValue(1, run.plan->first);
            insertPlan_.bindValue(2, run.plan->second);
            journal_.exec(insertPlan_);
        }
        insertTickets(id, run.tickets);
        return id;
    }

private:
    std::optional<qint64> holder(QSqlQuery& query, const QVariant& value)
    {
        query.bindValue(0, value);
        journal_.exec(query);
        const std::optional<qint64> found = query.next() ? std::optional(query.value(0).toLongLong()) : std::nullopt;
        query.finish();
        return found;
    }

    // A round trip per ticket would take a plant's network seconds per
    // thousand tickets: rows go many to a statement.
    void insertTickets(qint64 run, const std::vector<TicketRow>& tickets)
    {
        constexpr std::size_t perStatement = 1000;
        for (std::size_t first = 0; first < tickets.size(); first += perStatement) {
            const std::size_t count = std::min(perStatement, tickets.size() - first);
            QSqlQuery& insert = ticketInsert(count);
            int i = 0;
            for (std::size_t t = first; t < first + count; ++t) {
                insert.bindValue(i++, int64((run << 32) + tickets[t].position));
                for (const QVariant& value : tickets[t].values)
                    insert.bindValue(i++, value);
            }
            journal_.exec(insert);
        }
    }

    QSqlQuery& ticketInsert(std::size_t rows)
    {
        auto found = ticketInserts_.find(rows);
        if (found == ticketInserts_.end()) {
            const QStringList row(static_cast<qsizetype>(rows), QStringLiteral("(?, ?, ?, ?, ?, ?)"));
            const QString sql = QStringLiteral(
                "INSERT INTO tickets (id, operation, copy, length, sha256, confirmed_before) VALUES %1");
            found = ticketInserts_.emplace(rows, journal_.prepare(sql.arg(row.join(QLatin1String(", "))))).first;
        }
        return found->second;
    }

    const JournalStatements& journal_;
    QSqlQuery requestHolder_, restHolder_, copyHolder_, insertRun_, insertPlan_;
    std::map<std::size_t, QSqlQuery> ticketInserts_;  // by rows
};

class Copier {
public:
    Copier(Journal& from, Journal& to, const CopyChunk& limits, JournalCopy& done)
        : from_(from), to_(to), limits_(limits), done_(done)
    {
    }

    // False once every run has been settled.
    bool nextChunk()
    {
        const std::vector<Listed> listed = listedAfter(after_);
        if (listed.empty())
            return false;
        Chunk chunk;
        to_.transact(Journal::Access::Write, [&](const JournalStatements& journal) {
            Target target(journal);
            QStringList keys;
            for (const Listed& run : listed)
                if (run.ended)
                    keys << run.copiedFrom() << run.copiedFromAgain();
            const std::map<QString, Holder> held = target.holding(keys);
            QElapsedTimer clock;
            clock.start();
            qint64 tickets = 0;
            for (const Listed& run : listed) {
                if (chunk.last != 0 && (tickets >= limits_.tickets || clock.elapsed() >= limits_.time.count()))
                    break;
                chunk.last = run.id;
                if (!run.ended) {
                    chunk.open.push_back(run.id);
                    continue;
                }
                const auto first = held.find(run.copiedFrom());
                const auto again = held.find(run.copiedFromAgain());
                if (first != held.end() && first->second.started == run.started) {
                    ++chunk.alreadyCopied;
                    chunk.copiedAs[run.id] = first->second.id;
                } else if (again != held.end()) {
                    ++chunk.alreadyCopied;
                    chunk.copiedAs[run.id] = again->second.id;
                } else if (std::optional<SourceRun> source = read(run.id)) {  // nothing: pruned meanwhile
                    copy(target, run, *source, first == held.end() ? run.copiedFrom() : run.copiedFromAgain(), chunk);
                    tickets += run.planned;
                }
            }
        });
        done_.copied += chunk.copied;
        done_.alreadyCopied += chunk.alreadyCopied;
        const auto append = [](std::vector<std::int64_t>& list, const std::vector<std::int64_t>& more) {
            list.insert(list.end(), more.begin(), more.end());
        };
        append(done_.open, chunk.open);
        append(done_.requestIdsLeft, chunk.requestIdsLeft);
        append(done_.restsLeft, chunk.restsLeft);
        open_.insert(chunk.open.begin(), chunk.open.end());
        copiedAs_.merge(chunk.copiedAs);
        after_ = chunk.last;
        return true;
    }

private:
    std::vector<Listed> listedAfter(qint64 after)
    {
        std::vector<Listed> listed;
        from_.transact(Journal::Access::Read, [&](const JournalStatements& journal) {
            QSqlQuery query = journal.prepare(QStringLiteral(
                "SELECT id, station, started, ended IS NOT NULL, planned FROM runs WHERE id > ? ORDER BY id LIMIT ?"));
            query.bindValue(0, int64(after));
            query.bindValue(1, std::max(limits_.runs, 1));
            journal.exec(query);
            while (query.next())
                listed.push_back({query.value(0).toLongLong(), query.value(1).toString(), query.value(2).toLongLong(),
                                  query.value(3).toBool(), query.value(4).toLongLong()});
        });
        return listed;
    }

    std::optional<SourceRun> read(qint64 id)
    {
        std::optional<SourceRun> run;
        from_.transact(Journal::Access::Read, [&](const JournalStatements& journal) {
            QSqlQuery row = journal.prepare(
                QStringLiteral("SELECT %1, request_id, rest_of, message FROM runs WHERE id = ?").arg(carriedColumns()));
            row.bindValue(0, int64(id));
            journal.exec(row);
            if (!row.next())
                return;
            run.emplace();
            int c = 0;
            for (const Column& column : carried)
                run->values.push_back(typed(row.value(c++), column.kind));
            run->requestId = typed(row.value(c++), Kind::Text);
            if (const QVariant restOf = row.value(c++); !restOf.isNull())
                run->restOf = restOf.toLongLong();
            run->message = row.value(c++).toString();
            QSqlQuery plan = journal.prepare(QStringLiteral("SELECT shared, plan FROM plans WHERE run = ?"));
            plan.bindValue(0, int64(id));
            journal.exec(plan);
            if (plan.next())
                run->plan = {plan.value(0).toByteArray(), plan.value(1).toByteArray()};
            QSqlQuery tickets = journal.prepare(QStringLiteral(
                "SELECT id - ?, operation, copy, length, sha256, confirmed_before FROM tickets"
                " WHERE id BETWEEN ? AND ? ORDER BY id"));
            tickets.bindValue(0, int64(id << 32));
            tickets.bindValue(1, int64((id << 32) + 1));
            tickets.bindValue(2, int64((id << 32) + 0xffffffff));
            journal.exec(tickets);
            while (tickets.next())
                run->tickets.push_back({tickets.value(0).toLongLong(),
                                        {typed(tickets.value(1), Kind::Text), typed(tickets.value(2), Kind::Int),
                                         typed(tickets.value(3), Kind::Int64), typed(tickets.value(4), Kind::Blob),
                                         typed(tickets.value(5), Kind::Int)}});
        });
        return run;
    }

    void copy(Target& target, const Listed& run, const SourceRun& source, const QString& copiedFrom, Chunk& chunk)
    {
        QStringList notes;
        QVariant restOf;
        if (source.restOf) {
            if (const std::optional<qint64> copied = copiedAs(target, run, *source.restOf, chunk)) {
                if (const std::optional<qint64> holder = target.printingTheRestOf(*copied)) {
                    chunk.restsLeft.push_back(run.id);
                    notes << QStringLiteral(
                                 "Copied without the run whose rest it printed (run %1): run %2 prints that rest.")
                                 .arg(*copied)
                                 .arg(*holder);
                } else {
                    restOf = int64(*copied);
                }
            }
        }
        QVariant requestId = source.requestId;
        if (!requestId.isNull()) {
            if (const std::optional<qint64> holder = target.holdingRequest(requestId)) {
                chunk.requestIdsLeft.push_back(run.id);
                notes << QStringLiteral("Copied without its request ID %1, which run %2 holds.")
                             .arg(requestId.toString())
                             .arg(*holder);
                requestId = QVariant();
            }
        }
        QString message = source.message;
        if (!notes.isEmpty())
            message = ((message.isEmpty() ? QStringList() : QStringList{message}) + notes).join(u'\n');
        chunk.copiedAs[run.id] = target.insert(source, requestId, restOf, message, copiedFrom);
        ++chunk.copied;
    }

    // The number the run numbered number here has there: copied in this
    // copy, or by an earlier one (and gone from here since).
    std::optional<qint64> copiedAs(Target& target, const Listed& run, qint64 number, const Chunk& chunk)
    {
        for (const std::map<qint64, qint64>* copied : {&chunk.copiedAs, &std::as_const(copiedAs_)})
            if (const auto found = copied->find(number); found != copied->end())
                return found->second;
        if (open_.contains(number) || std::ranges::find(chunk.open, number) != chunk.open.end())
            return std::nullopt;
        return target.copiedFrom(run.station + u'/' + QString::number(number));
    }

    Journal& from_;
    Journal& to_;
    CopyChunk limits_;
    JournalCopy& done_;
    qint64 after_ = 0;
    std::map<qint64, qint64> copiedAs_;  // of the chunks committed
    std::set<qint64> open_;
};

}  // namespace

JournalCopy copyJournal(Journal& from, Journal& to, const CopyChunk& chunk)
{
    JournalCopy done;
    Copier copier(from, to, chunk, done);
    try {
        while (copier.nextChunk()) {
        }
    } catch (const JournalError& error) {
        done.stopped = error.what();
    }
    return done;
}
