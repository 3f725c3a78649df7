#pragma once
// The print journal: one SQLite file per station (several travcard
// processes may share it), or a database on a PostgreSQL server that the
// plant's stations share, with a row per print run and a row per ticket
// sent. A run's planned tickets are kept with the run when it starts; a
// ticket gets its row, with its size and SHA-256, before its bytes are
// written (it is sending), and it is confirmed once the printer has taken
// it: the printer takes tickets in order, so the run's confirmed count says
// which. A ticket sent but not confirmed when its run ended, or when the
// process died, is in doubt.
//
// Every call is one transaction, bounded by the busy time-out; a file that
// cannot be opened, read or written, or a server that cannot be reached or
// refuses, throws JournalError. A Journal belongs to the thread that opened
// it (as Qt SQL's connections do), with a connection of its own.

#include <QString>
#include <QVariant>

class QSqlDatabase;

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

// The journal could not be used: the outside world refused (no
// permission, no space, locked for too long, not a journal).
class JournalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A caller's request id is held by a run already.
class DuplicateRequest : public JournalError {
public:
    using JournalError::JournalError;
};

// The rest of a run is printed, or was, by another run: a run's rest is
// printed once.
class RestTaken : public JournalError {
public:
    RestTaken(std::int64_t run, std::int64_t by);
    std::int64_t run() const { return run_; }
    std::int64_t by() const { return by_; }  // the run that holds it

private:
    std::int64_t run_;
    std::int64_t by_;
};

enum class RunOutcome { Printed, Cancelled, Failed, Interrupted };
enum class TicketState { Planned = 0, Sending = 1, Confirmed = 2 };

std::string outcomeName(RunOutcome outcome);

// What a run is, as its request said it.
struct RunStart {
    std::string source;  // "main window", "nested window", "Reprint of run 12", ...
    std::optional<std::string> requestId;  // a caller's key, unique in the journal
    std::optional<std::int64_t> restOf;    // the run whose rest this run prints, once in the journal
    std::string location, order, suffix, operation, quantity;  // as typed
    std::string printer, printerType;  // PRINTER=, PRTTYPE=
    std::string version;               // the program's
    std::string shared;  // what every ticket of the run shares, as the caller encoded it
    std::string user;    // who asked for it; empty: the account this program runs as
    int dpi = 0;         // the resolution a Zebra run is laid out for; 0 for an EPSON run
    // What else the request asked for that its request id binds, as the
    // caller encoded it (the resolution asked, a nested-part card's fields);
    // empty: nothing.
    std::string asked;
};

// One operation's tickets: copies of them, at consecutive positions. Only
// the first copy's row holds data.
struct PlannedTicket {
    std::string operation;
    int copies = 1;
    std::string data;  // the caller's encoding of what the ticket is built from
};

// How far a run has got at the printer: its first confirmed tickets were
// taken, and its first printed ones (never more) proven printed by the
// printer itself. A count alone is confirmed, with nothing proven.
struct TicketCounts {
    TicketCounts(int confirmedTickets = 0, int printedTickets = 0)  // NOLINT: a count converts
        : confirmed(confirmedTickets), printed(printedTickets)
    {
    }
    int confirmed;
    int printed;
};

// A ticket about to be written: which it is, its size and SHA-256.
struct TicketDigest {
    std::string operation;
    int copy = 1;
    std::int64_t length = 0;
    std::string sha256;  // 32 bytes
};

struct RunRecord {
    std::int64_t id = 0;
    std::int64_t started = 0, ended = 0;  // ms since the epoch, UTC; ended 0 while it runs
    std::string station, user, version, source, requestId;  // user: the account the program ran as
    std::string location, order, suffix, operation, quantity, printer, printerType;
    int planned = 0, confirmed = 0, inDoubt = 0;
    int printed = 0;  // of the confirmed, those the printer proved it printed
    std::string outcome;  // empty while it runs
    std::string message;
    std::string shared;
    int dpi = 0;  // as its start recorded it; 0 for an EPSON run, or a Zebra run recorded before resolutions were
    std::optional<std::string> asked;  // as its start recorded it; nothing for a run recorded before it was kept
    bool queued = false;  // it waits, nobody's, in the services' shared queue
};

// A run taken from the services' shared queue, with the request it prints
// as the instance that accepted it recorded it.
struct SharedRun {
    std::int64_t run = 0;
    std::string request;
};

// A run whose tickets went to a spooler's job, ended with some of them in
// doubt: the job, once complete, confirms them.
struct SpooledRun {
    std::int64_t run = 0;
    std::string printer;  // PRINTER=, as its start recorded it
    int job = 0;          // the spooler's job id
};

struct TicketRecord {
    int position = 0;  // from 1
    std::string operation;
    int copy = 1;
    std::string data;  // what it is built from: the same for every copy
    // Once sent:
    std::int64_t length = 0;
    std::string sha256;
    TicketState state = TicketState::Planned;
};

// Whether location names a journal on a PostgreSQL server, a libpq URI
// (postgresql://user@host/database, postgres://..., ?host=/run/postgresql
// for a socket), rather than a SQLite file.
bool isServerJournal(const QString& location);

// The location as messages show it: a URI without its password.
QString journalDisplayName(const QString& location);

// Whether location is a server's URI that gives no password of its own.
bool journalNeedsPassword(const QString& location);

// A server's URI with password added as its password= option, when the URI
// gives none of its own; any other location as it is.
QString journalWithPassword(const QString& location, const QString& password);

// Who holds a printer's lease, as a refused taker is told: the station, and
// how long the lease has left (ms; below 0 once it has expired).
struct PrinterHolder {
    std::string station;
    std::int64_t left = 0;
};

// A printer's lease this process holds: the printer and its holder's name.
struct HeldLease {
    std::string printer, holder;
};

struct JournalDialect;
class JournalStatements;

class Journal {
public:
    static constexpr std::chrono::milliseconds busyTimeout{2000};
    // On a server, a run's lease and a printer's last leaseTerm from their
    // last renewal (every leaseRenewEvery), by the server's clock; a holder
    // writes to its printer only while leaseMargin of it is left.
    static constexpr std::chrono::milliseconds leaseTerm{10000};
    static constexpr std::chrono::milliseconds leaseRenewEvery{2000};
    static constexpr std::chrono::milliseconds leaseMargin{5000};

    // Opens (creating it and its folder when missing) the journal at path;
    // on a server (isServerJournal), connects and creates the tables missing.
    explicit Journal(const QString& path);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // As given, a server's password included: journalDisplayName for messages.
    const QString& path() const { return path_; }

    // Records a run and its planned tickets (positions from 1), owned by
    // this process; returns the run's id. Throws DuplicateRequest when the
    // run's request id is held by another run, RestTaken when the rest it
    // prints is (a holder whose process is gone without marking a ticket
    // lets it go first).
    std::int64_t startRun(const RunStart& run, const std::vector<PlannedTicket>& tickets);

    // In one transaction: a run started without tickets for run.requestId
    // (which must be set), or the run that holds that id. A holder whose
    // process is gone is closed as interrupted first; one that marked no
    // ticket then lets the id go.
    std::variant<std::int64_t, RunRecord> claimRequest(const RunStart& run);

    // The planned tickets of a run started without them (a request id is
    // claimed before the order is read).
    // start gives what every ticket shares and the resolution they are laid out for.
    void planRun(std::int64_t run, const RunStart& start, const std::vector<PlannedTicket>& tickets);

    // Ends a run that is still open and marked no ticket (a claim whose
    // printing never began) as failed, with message, so that it stays as
    // history and gives back its request id and the rest it claimed (one
    // asked to stop ends cancelled and keeps its id); false when it has
    // ended or marked one.
    bool releaseRun(std::int64_t run, const std::string& message = {});

    // Ends a run that is still open and marked no ticket (it waits to
    // begin) as cancelled, with message. Unlike releaseRun it keeps its
    // request id, so that a retry is told it was cancelled, and gives back
    // the rest it claimed. False when it has ended or marked one.
    // onlyNobodys: only while it waits in the shared queue, taken by nobody.
    bool cancelUnbegun(std::int64_t run, const std::string& message, bool onlyNobodys = false);

    // Asks a run, perhaps of another program, to stop: its owner reads it
    // between tickets (and a run waiting to begin ends cancelled). A run
    // whose program is gone is closed as interrupted first, and has ended.
    enum class StopAsk { Asked, Ended, Unknown };
    StopAsk askStop(std::int64_t run);
    bool stopAsked(std::int64_t run);
    // Whether the run was asked to stop or has ended (another program closed
    // it), in one read.
    bool stopAskedOrEnded(std::int64_t run);
    // The open runs asked to stop, in order.
    std::vector<std::int64_t> runsAskedToStop();

    // The run that holds the request id.
    std::optional<RunRecord> runWithRequest(const std::string& requestId);
    std::optional<RunRecord> run(std::int64_t id);
    // The run that prints, or printed, the rest of run.
    std::optional<std::int64_t> runPrintingTheRestOf(std::int64_t run);

    // Before a batch is written: the run's tickets are counted, and tickets
    // first, first + 1, ... (one per digest) are sending.
    void sending(std::int64_t run, TicketCounts counts, int first, const std::vector<TicketDigest>& digests);

    // The tickets after the run's first written were recorded as sending but
    // never left: they are sent no more.
    void unsent(std::int64_t run, int written);

    // The printer has taken (or printed) more of the run's tickets, while no
    // batch is sent to carry the counts.
    void confirm(std::int64_t run, TicketCounts counts);

    // The run's tickets go to the spooler's job (a CUPS job id).
    void spooled(std::int64_t run, int job);

    // Runs whose tickets went to a spooler's job, with tickets in doubt,
    // newest first, at most limit; only run, when not 0. A run the program
    // did not end (interrupted) is not among them: tickets recorded as
    // sending may have never been given to its job.
    std::vector<SpooledRun> spooledRunsInDoubt(int limit, std::int64_t only = 0);

    // The spooler completed the run's job: every ticket the job held (those
    // recorded as sending) is confirmed, note is added to the run's message,
    // and a run that sent all it planned becomes printed. False when the run
    // is no longer in doubt about that job.
    bool confirmSpooled(std::int64_t run, int job, const std::string& note);

    // The run ended: tickets up to the confirmed count (or the printed one,
    // which a run never takes back) are confirmed, those after it that were
    // sent stay in doubt. A run that marked no ticket gives back
    // its request id and the rest it claimed, and stays as history; one
    // that ended printed keeps them (a rest whose tickets in doubt were
    // taken as printed, with nothing left to send), and one asked to stop
    // keeps its request id.
    void endRun(std::int64_t run, RunOutcome outcome, TicketCounts counts, const std::string& message);

    // Runs whose process is gone without ending them become interrupted
    // (giving their claims back when they marked no ticket). Returns how many.
    // On a server only a run of this boot of this station can be told gone
    // (serverRunOwnerAlive): any other stays open.
    int closeInterruptedRuns();

    // Removes ended runs that started before now - days, in chunks, until
    // none is left or budget has passed. Returns how many were removed.
    int prune(int days, std::chrono::milliseconds budget);

    // Newest first; of one order (as recorded: trimmed) when order is not
    // empty, started at or after since (ms since the epoch), numbered
    // below before when it is not 0, of one station (as recorded:
    // stationName()) when station is not empty.
    std::vector<RunRecord> runs(int limit = 100, const std::string& order = {}, std::int64_t since = 0,
                                std::int64_t before = 0, const std::string& station = {});
    // Every planned ticket of the run, in order.
    std::vector<TicketRecord> tickets(std::int64_t run);

    // Whether runs and printers hold leases here: on a server.
    bool keepsLeases() const { return server_; }

    // Takes the printer's lease (printer as PRINTER= names it) for holder,
    // a name unique to this taking: when nobody holds it, or its holder's
    // lease expired stallLimit ago or more (what that holder had handed to
    // the printer has been taken or dropped by then). Returns the lease's
    // fence, which grows with every holder, or who holds it.
    std::variant<std::int64_t, PrinterHolder> takePrinterLease(const std::string& printer,
                                                               const std::string& holder,
                                                               std::chrono::milliseconds stallLimit);
    // The printer is free again at once: its holder's tickets were taken.
    void releasePrinterLease(const std::string& printer, const std::string& holder);
    // Renews the leases of this process's open runs and of the printers it
    // holds; returns the printer leases still held.
    std::vector<HeldLease> renewLeases();
    // From now on this connection marks tickets as sending only while the
    // printer's lease under fence has leaseMargin left and the run is still
    // open and this program's (a JournalError otherwise): a holder that lost
    // its lease cannot mark, so cannot write.
    void markUnderLease(const std::string& printer, std::int64_t fence);

    // The services' shared queue. A run claimed by the instance that
    // accepted its request waits there for printer (a name of the
    // service's), nobody's (no lease is kept, and it is never taken for
    // interrupted), with the request it prints, until a worker of any
    // instance takes the oldest (takeShared), which then owns it.
    void queueShared(std::int64_t run, const std::string& printer, const std::string& request);
    std::optional<SharedRun> takeShared(const std::string& printer);
    // A run taken that marked no ticket, and that nobody asked to stop,
    // waits again (its instance is stopping): false when it did not.
    bool returnShared(std::int64_t run);
    // Cancels run while it waits there, taken by nobody; false otherwise.
    bool cancelShared(std::int64_t run, const std::string& message);
    // Runs work in one transaction, committed once work returns, for
    // journal/'s tools with statements of their own (journal_copy.h). A
    // write holds the writers' lock; a read sees one snapshot.
    enum class Access { Read, Write };
    void transact(Access access, const std::function<void(const JournalStatements&)>& work);

    // On a server: ended(run) whenever a run ends, by any program, called on
    // this journal's thread by its event loop from then on (a notification
    // the connection missed is lost: callers read the runs too).
    static constexpr const char* runEndedChannel = "travcard_run_ended";
    void listenForEnds(std::function<void(std::int64_t run)> ended);
    // Whether the connection still answers (a listener's, between notifications).
    bool answers();

    // The marks synced to the disk by this process so far: one sync each.
    static std::int64_t durableCommits() { return durableCommits_; }

private:
    static std::atomic<std::int64_t> durableCommits_;
    class Transaction;
    class Statements;
    std::vector<RunRecord> readRuns(const Transaction& transaction, int limit, const std::string& order,
                                    std::int64_t since, std::int64_t only, std::int64_t before = 0,
                                    const std::string& station = {});
    std::int64_t insertRun(const Transaction& transaction, const RunStart& run,
                           const std::vector<PlannedTicket>& tickets);
    std::optional<std::int64_t> runHolding(const Transaction& transaction, const char* column, const QVariant& value);
    // Closes run as interrupted when it is open and its process is gone.
    void closeIfGone(const Transaction& transaction, std::int64_t run);
    void closeInterrupted(const Transaction& transaction, std::int64_t run);
    void releaseClaimsIfUnmarked(const Transaction& transaction, std::int64_t run);
    void recordEnd(const Transaction& transaction, std::int64_t run, RunOutcome outcome, TicketCounts counts,
                   const std::string& message);
    void sendingOnServer(std::int64_t run, TicketCounts counts, int first, const std::vector<TicketDigest>& digests);
    // Whether the process that owns run still runs, by its lock or owner, or
    // on a server by the run's lease (its ms left, NULL without one).
    bool ownerAlive(const std::string& owner, std::int64_t run, const QVariant& leaseLeft = {}) const;
    std::int64_t serverNow(const Transaction& transaction) const;
    // A run of the shared queue that marked no ticket (and was not asked to
    // stop) waits again, nobody's: true when it does.
    bool requeueShared(const Transaction& transaction, std::int64_t run);
    // Whether the run is there and meets condition (SQL), in one read.
    bool runFound(const char* condition, std::int64_t run);
    void releaseLock(std::int64_t run) const;
    int openFile();      // returns the file's journal version
    int openOnServer();  // likewise
    void configureServer(QSqlDatabase& db) const;
    void connectToServer(QSqlDatabase& db) const;
    const JournalDialect& dialect() const;
    void createSchema();
    void addLaterColumns(const Transaction& transaction);
    [[noreturn]] void fail(const QString& done, const QString& reason) const;  // "opened", "read", "written"

    QString path_;
    QString shown_;  // path_ as messages show it
    bool server_;
    QString connection_;
    std::unique_ptr<Statements> statements_;  // prepared once, used by every batch
    struct PrinterFence {
        std::string printer;
        std::int64_t fence = 0;
    };
    std::optional<PrinterFence> markedUnder_;
};
