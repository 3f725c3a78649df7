#pragma once
// The print journal as the commands use it: the station's journal file,
// opened at start-up, and the recorder that writes one print run into it as
// the print stream goes. When the file cannot be used at start-up, the
// operator is told once, with its path and the reason, and the program goes
// on without a journal; once it has started with one, a run whose tickets
// cannot be recorded stops before them.

#include "journal/journal.h"
#include "printing/print_observer.h"
#include "printing/printer_settings.h"
#include "text/message_box.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class QThread;
class LeaseKeeper;
class PrinterLease;

// $XDG_STATE_HOME/travcard/journal.sqlite (~/.local/state/... without it).
QString defaultJournalPath();

// Where JOURNAL= points (the default when empty), and how many days
// JOURNAL_DAYS= keeps (180 when empty or not a positive number).
QString journalPath(const std::string& configured);
int journalDays(const std::string& configured);

class JournalAccess {
public:
    explicit JournalAccess(QString path) : path_(std::move(path)) {}
    ~JournalAccess();
    JournalAccess(const JournalAccess&) = delete;
    JournalAccess& operator=(const JournalAccess&) = delete;
    const QString& path() const { return path_; }

    // A connection for the calling thread; null when the journal is off.
    std::unique_ptr<Journal> open(MessageBox& messages);

    // A failure at start-up is shown once, and the journal is off from
    // then on; a later one is shown, and the journal stays on, so that no
    // run prints unrecorded because the file was busy a moment.
    void failed(const JournalError& error, MessageBox& messages);
    void startedUp() { startedUp_ = true; }
    bool off() const { return off_; }

    // The end of a run that the journal could not take when it ended:
    // tried again every endRetryEvery on a thread of its own until the
    // journal takes it, and before the next run's start.
    void keepEnd(std::function<void(Journal&)> end);
    std::vector<std::function<void(Journal&)>> takeEnds();

    // Holds a connection open for as long as the access lives, on the
    // thread that opened it, so that a run's connection is never the last
    // one to close: the last one writes the whole write-ahead log back into
    // the file, with a sync, on every run.
    void keepOpen(std::unique_ptr<Journal> journal);

    static constexpr std::chrono::seconds endRetryEvery{2};

    // The keeper of this process's leases (a server's journal only),
    // started with the first run that needs one.
    std::shared_ptr<LeaseKeeper> leases();

private:
    void retryEnds();

    QString path_;
    std::atomic<bool> off_{false};
    std::atomic<bool> startedUp_{false};
    std::unique_ptr<Journal> keeper_;
    QThread* keeperThread_ = nullptr;
    std::mutex endsGuard_;
    std::vector<std::function<void(Journal&)>> ends_;  // guarded by endsGuard_
    std::condition_variable endsChanged_;
    bool closing_ = false;          // guarded by endsGuard_
    bool retrying_ = false;         // guarded by endsGuard_
    std::thread endsRetrier_;       // runs while ends_ holds any
    std::mutex leasesGuard_;
    std::shared_ptr<LeaseKeeper> leases_;  // guarded by leasesGuard_
};

// At start-up: opens the journal, ends the runs of processes that are gone
// as interrupted, and prunes runs older than days, for at most a quarter of
// a second. Returns the access even when the journal is off.
std::shared_ptr<JournalAccess> openJournal(const QString& path, int days, MessageBox& messages);

std::string sha256(std::string_view bytes);

// A run's start as every front door records it: where it came from, the
// printer it goes to and this program's version; the caller adds what was asked for.
RunStart runStart(std::string source, const PrinterSettings& printer);

// SHA-256 of one ticket after another, reusing OpenSSL's context: a run has
// thousands of tickets, and setting a context up costs a third of hashing one.
class TicketHasher {
public:
    TicketHasher();
    ~TicketHasher();
    TicketHasher(const TicketHasher&) = delete;
    TicketHasher& operator=(const TicketHasher&) = delete;
    std::string digest(std::string_view bytes);

private:
    struct evp_md_st* md_;
    struct evp_md_ctx_st* context_;
};

// Records one run: its planned tickets, then each batch as the stream writes
// it. The journal's work (opening it, the SHA-256 of every ticket, a
// transaction per batch, or one for the batches that waited together) runs
// on a thread of the recorder's own while the stream builds the next
// batches (when that thread falls behind, the stream's thread works out the
// digests of the batch it tells); a batch's bytes are written only once its
// record is committed.
//
// No ticket leaves without its record: when the journal cannot record the
// run's start or a batch (busy past its time-out, disk full, an I/O error),
// it is tried again for retryFor, and then the run stops before that batch,
// with a message that names the journal and the reason. Every wait for the
// journal's thread ends after answerWithin. The run's end is tried for
// endRetryFor; failing that, it is recorded before the next run of this
// program, or the next start marks the run interrupted.
// A recorder destroyed before the run ended records it as failed.
class RunRecorder : public PrintObserver {
public:
    // journal may be null: then nothing is recorded. Opens the journal on
    // the recorder's thread.
    RunRecorder(std::shared_ptr<JournalAccess> journal, MessageBox& messages);
    ~RunRecorder() override;
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    bool recording() const { return access_ && !access_->off(); }
    // Records into a run started beforehand (without tickets) rather than a new one.
    void adopt(std::int64_t run);
    void start(const RunStart& run, std::vector<PlannedTicket> tickets);
    // Records into a run started beforehand with these planned tickets (a
    // claim that had to succeed before the printer was opened).
    void startPlanned(std::int64_t run, const std::vector<PlannedTicket>& tickets);
    // The run's id in the journal, 0 when it is not recorded.
    std::int64_t runId();

    void writing(std::shared_ptr<const TicketBatch> batch) override;
    Recorded recorded(int tickets, bool wait) override;
    std::string failure() const override;
    void spooled(int job) override;
    void confirmed(int count) override;
    void printed(int count) override;
    bool stopAsked() const override;
    // Tickets are marked and written only under the printer's lease, which
    // outlives the run.
    void holdLease(const PrinterLease* lease);
    bool mayWrite() const override;
    void ended(PrintOutcome outcome, int confirmed, int written, const std::string& message) override;

    static constexpr std::chrono::seconds retryFor{3};
    static constexpr std::chrono::seconds endRetryFor{5};
    static constexpr std::chrono::seconds answerWithin{15};
    // How often a run reads whether another program asked it to stop.
    static constexpr std::chrono::milliseconds stopCheckEvery{500};

private:
    class Worker;
    void keepPlan(const std::vector<PlannedTicket>& tickets);

    std::shared_ptr<JournalAccess> access_;
    MessageBox& messages_;
    const PrinterLease* lease_ = nullptr;
    mutable bool leaseLost_ = false;  // the stream's thread's
    void postCounts();

    int confirmed_ = 0;          // tickets the stream reported confirmed
    int printed_ = 0;            // tickets the printer proved it printed
    int told_ = 0;               // tickets told to the journal as sending
    std::size_t toldBytes_ = 0;  // their bytes
    int released_ = 0;           // tickets the stream was allowed to write
    static constexpr std::chrono::milliseconds confirmInterval{50};
    std::chrono::steady_clock::time_point lastCount_;  // when a count was last posted
    bool started_ = false;
    bool ended_ = false;
    TicketHasher hasher_;
    // The journal's work and its thread; a thread that does not end in
    // time is left to end by itself, with the work it shares.
    std::shared_ptr<Worker> worker_;
    std::unique_ptr<QThread> thread_;
};
