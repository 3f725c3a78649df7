#include "exactly_once/journal_recorder.h"

#include "exactly_once/printer_lease.h"
#include "printing/print_stream.h"

#include <QDir>
#include <QDeadlineTimer>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include <openssl/evp.h>

#include <algorithm>
#include <limits>

std::string sha256(std::string_view bytes)
{
    std::string digest(32, '\0');
    unsigned int length = 0;
    // SHA-256 cannot fail on a buffer in memory short of running out of it.
    if (EVP_Digest(bytes.data(), bytes.size(), reinterpret_cast<unsigned char*>(digest.data()), &length,
                   EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();
    return digest;
}

TicketHasher::TicketHasher() : md_(EVP_MD_fetch(nullptr, "SHA256", nullptr)), context_(EVP_MD_CTX_new())
{
    if (!md_ || !context_)
        throw std::bad_alloc();
}

TicketHasher::~TicketHasher()
{
    EVP_MD_CTX_free(context_);
    EVP_MD_free(md_);
}

std::string TicketHasher::digest(std::string_view bytes)
{
    std::string digest(32, '\0');
    unsigned int length = 0;
    if (EVP_DigestInit_ex2(context_, md_, nullptr) != 1 || EVP_DigestUpdate(context_, bytes.data(), bytes.size()) != 1 ||
        EVP_DigestFinal_ex(context_, reinterpret_cast<unsigned char*>(digest.data()), &length) != 1)
        throw std::bad_alloc();
    return digest;
}

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

// The recorder's journal work, in the order posted, done on a thread of its
// own; the journal's connection is opened, used and closed there. Batches
// that wait together are recorded in one transaction, so that the journal
// keeps up with the printer. Everything the thread uses is here, so that a
// thread that outlives its recorder uses nothing that is gone.
class RunRecorder::Worker {
public:
    enum class Kind { Start, Batch, Count, End };
    struct Work {
        Kind kind = Kind::Batch;
        std::function<void(Journal&, std::int64_t run)> call;  // all but a batch
        std::shared_ptr<const TicketBatch> batch;
        TicketCounts counts;                // the run's counts when the batch was told
        std::vector<TicketDigest> digests;  // the batch's, when worked out before it was told
    };

    explicit Worker(std::shared_ptr<JournalAccess> access)
        : access_(std::move(access)), spinsWhileWaiting_(!isServerJournal(access_->path()))
    {
    }

    // Set before the first batch is told; read on both threads after that.
    std::atomic<std::int64_t> run{0};
    // Another program asked the run to stop: set on the journal's thread.
    std::atomic<bool> stopAsked{false};
    std::vector<int> planStarts;  // each planned entry's first position
    std::vector<std::string> planOperations;

    void post(Work work)
    {
        {
            const std::lock_guard lock(mutex_);
            queue_.push_back(std::move(work));
            ++posted_;
            waiting_.store(queue_.size(), std::memory_order_release);
        }
        changed_.notify_all();
    }

    // No more work comes: the thread returns once it has done what was posted.
    void close()
    {
        {
            const std::lock_guard lock(mutex_);
            closing_.store(true, std::memory_order_relaxed);
        }
        changed_.notify_all();
    }

    // How far the journal is behind the tickets told before the one at
    // position told, and the bytes told before toldBytes.
    int ticketsBehind(int told) const { return told - recorded_.load(std::memory_order_acquire); }
    std::size_t bytesBehind(std::size_t toldBytes) const
    {
        const std::size_t recorded = recordedBytes_.load(std::memory_order_acquire);
        return toldBytes > recorded ? toldBytes - recorded : 0;
    }

    // Whether the run's first tickets are recorded as sending; with wait,
    // waits until they are, or never will be, for at most answerWithin.
    Recorded recorded(int tickets, bool wait)
    {
        const auto done = [&] { return recorded_.load(std::memory_order_acquire) >= tickets; };
        const auto settled = [&] { return done() || refused_.load(std::memory_order_acquire); };
        if (!settled() && wait && !await(settled, Clock::now() + answerWithin))
            refuse(QStringLiteral("it did not answer within %1 seconds").arg(answerWithin.count()));
        if (done())
            return Recorded::Yes;
        return refused_.load(std::memory_order_acquire) ? Recorded::Never : Recorded::NotYet;
    }

    // Waits until all work posted is done; false when it was not by deadline.
    bool drain(Clock::time_point deadline)
    {
        const std::uint64_t posted = posted_;
        return await([&] { return done_.load(std::memory_order_acquire) == posted; }, deadline);
    }

    // Why the run's tickets cannot be recorded, or its end could not be.
    std::string failure() const
    {
        const std::lock_guard lock(mutex_);
        return failure_;
    }
    std::optional<std::string> takeEndFailure()
    {
        const std::lock_guard lock(mutex_);
        return std::exchange(endFailure_, std::nullopt);
    }

    // From here on no ticket is recorded: the stream stops before the next.
    void refuse(const QString& reason)
    {
        {
            const std::lock_guard lock(mutex_);
            if (!refused_.load(std::memory_order_relaxed))
                failure_ = cannotWrite(reason).toStdString();
            refused_.store(true, std::memory_order_release);
        }
        changed_.notify_all();
    }

    // The operation, copy, length and SHA-256 of each of the batch's tickets.
    void addDigests(const TicketBatch& batch, TicketHasher& hasher, std::vector<TicketDigest>& digests) const
    {
        const int first = batch.first + 1;
        auto entry = std::upper_bound(planStarts.begin(), planStarts.end(), first);
        for (std::size_t i = 0; i < batch.tickets(); ++i) {
            const int position = first + static_cast<int>(i);
            while (entry != planStarts.end() && *entry <= position)
                ++entry;
            const auto index = static_cast<std::size_t>(entry - planStarts.begin()) - 1;
            TicketDigest& digest = digests.emplace_back();
            digest.operation = index < planOperations.size() ? planOperations[index] : std::string();
            digest.copy = index < planStarts.size() ? position - planStarts[index] + 1 : 1;
            digest.length = static_cast<std::int64_t>(batch.ticket(i).size());
            digest.sha256 = hasher.digest(batch.ticket(i));
        }
    }

    // The thread's loop, until closed.
    void serve()
    {
        std::unique_ptr<Journal> journal;
        try {
            const bool opened = retried(retryFor, [&] { journal = std::make_unique<Journal>(access_->path()); });
            if (opened)
                recordKeptEnds(*journal);
            // The run's start comes after its database queries.
            for (std::vector<Work> work = take(false, journal.get()); !work.empty(); work = take(true, journal.get()))
                perform(work, journal.get());
        } catch (...) {
            // Out of memory outside the journal's calls: the work left is
            // counted done unseen, so that nobody waits for it.
            refuse(QStringLiteral("out of memory"));
            discardUntilClosed();
        }
    }

private:
    QString cannotWrite(const QString& reason) const
    {
        return QStringLiteral("The print journal %1 cannot be written: %2")
            .arg(journalDisplayName(access_->path()), reason);
    }

    // A batch comes every few hundred microseconds, and a thread put to
    // sleep and woken for each one costs more than a journal file's work for
    // it: with a second core, a waiting thread first spins for up to a
    // millisecond, unless told that the wait is long (the run's database
    // queries, which need the core). A journal on a server is waited for
    // over the network, and a spinning thread would take the core that the
    // server, or the printer's connection, needs. False when deadline passed
    // first.
    template <class Done>
    bool await(const Done& done, Clock::time_point deadline, bool spin = true)
    {
        static const bool secondCore = std::thread::hardware_concurrency() > 1;
        constexpr auto spinLimit = std::chrono::milliseconds(1);
        const auto start = Clock::now();
        for (unsigned round = 1; spin && spinsWhileWaiting_ && secondCore; ++round) {
            if (done())
                return true;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
            if (round % 64 == 0 && Clock::now() - start > spinLimit)
                break;
        }
        std::unique_lock lock(mutex_);
        if (deadline == Clock::time_point::max()) {
            changed_.wait(lock, done);
            return true;
        }
        return changed_.wait_until(lock, deadline, done);
    }

    bool workOrClosing() const
    {
        return waiting_.load(std::memory_order_acquire) > 0 || closing_.load(std::memory_order_relaxed);
    }

    // The next call, or the batches that follow one another at the front;
    // nothing once closed. Meanwhile, every stopCheckEvery, whether the
    // run was asked to stop.
    std::vector<Work> take(bool spin, Journal* journal)
    {
        for (;;) {
            checkStopAsked(journal);
            const bool watching = journal && run.load(std::memory_order_relaxed) != 0 && !stopAsked && !endTaken_;
            if (await([this] { return workOrClosing(); }, watching ? lastStopCheck_ + stopCheckEvery : Clock::time_point::max(), spin))
                break;
        }
        const std::lock_guard lock(mutex_);
        std::vector<Work> taken;
        while (!queue_.empty() &&
               (taken.empty() || (taken.front().kind == Kind::Batch && queue_.front().kind == Kind::Batch))) {
            taken.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
        waiting_.store(queue_.size(), std::memory_order_release);
        return taken;
    }

    void checkStopAsked(Journal* journal)
    {
        const std::int64_t id = run.load(std::memory_order_relaxed);
        if (!journal || id == 0 || stopAsked || endTaken_ || Clock::now() - lastStopCheck_ < stopCheckEvery)
            return;
        try {
            if (journal->stopAsked(id))
                stopAsked = true;
        } catch (const JournalError&) {
            // Asked again at the next check.
        }
        // From the read's end: a journal slow to answer is not read back to back.
        lastStopCheck_ = Clock::now();
    }

    // Does task, trying again while the journal refuses it for patience;
    // the last refusal is kept in lastError_.
    template <class Task>
    bool retried(std::chrono::milliseconds patience, const Task& task)
    {
        const auto giveUp = Clock::now() + patience;
        for (;;) {
            try {
                task();
                return true;
            } catch (const JournalError& error) {
                lastError_ = QString::fromStdString(error.what());
            } catch (const std::exception& error) {
                lastError_ = cannotWrite(QString::fromLocal8Bit(error.what()));
            }
            if (Clock::now() >= giveUp)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    // A failure's text as the journal words it, from "The print journal ...".
    void refuseWithLastError()
    {
        {
            const std::lock_guard lock(mutex_);
            if (!refused_.load(std::memory_order_relaxed))
                failure_ = lastError_.toStdString();
            refused_.store(true, std::memory_order_release);
        }
        changed_.notify_all();
    }

    void perform(std::vector<Work>& work, Journal* journal)
    {
        const bool refused = refused_.load(std::memory_order_acquire);
        switch (work.front().kind) {
        case Kind::Start:
            if (!refused && !(journal && retried(retryFor, [&] { work.front().call(*journal, run); })))
                refuseWithLastError();
            break;
        case Kind::Batch:
            if (refused)
                break;
            if (journal && retried(retryFor, [&] { recordSending(*journal, work); }))
                countRecorded(work);
            else
                refuseWithLastError();
            break;
        case Kind::Count:
            // Carried by the next batch, or the end, should it fail here; one
            // with work behind it is left to that work, so that a journal
            // held busy does not make each count wait out its busy time.
            if (!refused && journal && waiting_.load(std::memory_order_acquire) == 0)
                retried(std::chrono::milliseconds(0), [&] { work.front().call(*journal, run); });
            break;
        case Kind::End:
            endTaken_ = true;
            if (const std::int64_t id = run; id != 0 && !(journal && retried(endRetryFor, [&] { work.front().call(*journal, id); }))) {
                access_->keepEnd([end = work.front().call, id](Journal& later) { end(later, id); });
                const std::lock_guard lock(mutex_);
                endFailure_ = (journal ? lastError_ : cannotWrite(QStringLiteral("it cannot be opened"))).toStdString();
            }
            break;
        }
        const auto count = work.size();
        // What the work held (a batch's bytes) is let go before it counts
        // as done, so that the stream can use its buffer again.
        work.clear();
        countDone(count);
    }

    // On the journal's thread: batches told one after another, in one transaction.
    void recordSending(Journal& journal, const std::vector<Work>& batches)
    {
        digests_.clear();
        for (const Work& work : batches) {
            if (work.digests.empty())
                addDigests(*work.batch, hasher_, digests_);
            else
                digests_.insert(digests_.end(), work.digests.begin(), work.digests.end());
        }
        journal.sending(run, batches.back().counts, batches.front().batch->first + 1, digests_);
    }

    void countRecorded(const std::vector<Work>& batches)
    {
        std::size_t bytes = 0;
        for (const Work& batch : batches)
            bytes += batch.batch->bytes.size();
        const TicketBatch& last = *batches.back().batch;
        recordedBytes_.fetch_add(bytes, std::memory_order_relaxed);
        recorded_.store(last.first + static_cast<int>(last.tickets()), std::memory_order_release);
    }

    // The ends of earlier runs of this program that the journal did not take.
    void recordKeptEnds(Journal& journal)
    {
        for (std::function<void(Journal&)>& end : access_->takeEnds())
            if (!retried(std::chrono::milliseconds(0), [&] { end(journal); }))
                access_->keepEnd(std::move(end));
    }

    void countDone(std::size_t count)
    {
        {
            const std::lock_guard lock(mutex_);
            done_.fetch_add(count, std::memory_order_release);
        }
        changed_.notify_all();
    }

    void discardUntilClosed()
    {
        for (;;) {
            await([this] { return workOrClosing(); }, Clock::time_point::max(), false);
            std::unique_lock lock(mutex_);
            if (queue_.empty())
                return;
            const Work work = std::move(queue_.front());
            queue_.pop_front();
            waiting_.store(queue_.size(), std::memory_order_release);
            lock.unlock();
            countDone(1);
        }
    }

    const std::shared_ptr<JournalAccess> access_;
    const bool spinsWhileWaiting_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Work> queue_;
    std::atomic<std::size_t> waiting_{0};  // the queue's length, read without the lock
    std::uint64_t posted_ = 0;             // written and read on the recorder's thread
    std::atomic<std::uint64_t> done_{0};
    std::atomic<int> recorded_{0};
    std::atomic<std::size_t> recordedBytes_{0};  // written before recorded_
    std::atomic<bool> closing_{false};
    std::atomic<bool> refused_{false};
    std::string failure_;                     // guarded by mutex_
    std::optional<std::string> endFailure_;  // guarded by mutex_
    QString lastError_;                       // used on the journal's thread
    Clock::time_point lastStopCheck_;         // used on the journal's thread
    bool endTaken_ = false;                   // used on the journal's thread: nothing left to stop
    std::vector<TicketDigest> digests_;       // used on the journal's thread
    TicketHasher hasher_;                     // used on the journal's thread
};

RunRecorder::RunRecorder(std::shared_ptr<JournalAccess> journal, MessageBox& messages)
    : access_(std::move(journal)), messages_(messages)
{
    if (!recording())
        return;
    worker_ = std::make_shared<Worker>(access_);
    // Started at once, so that the journal is opened while the run queries
    // the database. A QThread rather than a thread Qt does not know: Qt SQL
    // keeps data per thread, which Qt lets go with a thread of its own.
    thread_.reset(QThread::create([worker = worker_] { worker->serve(); }));
    thread_->setObjectName(QStringLiteral("journal"));
    thread_->start();
    if (!thread_->isRunning()) {
        thread_.reset();
        worker_->refuse(QStringLiteral("no thread can be started for it"));
    }
}

RunRecorder::~RunRecorder()
{
    // The tickets the stream may have written stay in doubt.
    if (started_ && !ended_)
        ended(PrintOutcome::Failed, confirmed_, released_, "The run stopped before its end.");
    if (!thread_)
        return;
    worker_->close();
    if (!thread_->wait(QDeadlineTimer(std::chrono::duration_cast<std::chrono::milliseconds>(answerWithin))))
        static_cast<void>(thread_.release());  // it ends by itself, holding what it uses
}

void RunRecorder::adopt(std::int64_t run)
{
    if (worker_)
        worker_->run = run;
}

std::int64_t RunRecorder::runId()
{
    if (!worker_)
        return 0;
    if (started_ && !ended_ && thread_)
        worker_->drain(Clock::now() + answerWithin);
    return worker_->run;
}

void RunRecorder::keepPlan(const std::vector<PlannedTicket>& tickets)
{
    started_ = true;
    int position = 1;
    for (const PlannedTicket& ticket : tickets) {
        worker_->planStarts.push_back(position);
        worker_->planOperations.push_back(ticket.operation);
        position += ticket.copies;
    }
}

void RunRecorder::startPlanned(std::int64_t run, const std::vector<PlannedTicket>& tickets)
{
    if (!recording() || !worker_)
        return;
    worker_->run = run;
    keepPlan(tickets);
}

void RunRecorder::start(const RunStart& run, std::vector<PlannedTicket> tickets)
{
    if (!recording() || !worker_)
        return;
    keepPlan(tickets);
    Worker::Work work;
    work.kind = Worker::Kind::Start;
    work.call = [worker = worker_.get(), run, tickets = std::move(tickets)](Journal& journal, std::int64_t claimed) {
        if (claimed)
            journal.planRun(claimed, run, tickets);
        else
            worker->run = journal.startRun(run, tickets);
    };
    worker_->post(std::move(work));
}

void RunRecorder::writing(std::shared_ptr<const TicketBatch> batch)
{
    if (!started_)
        return;
    told_ = batch->first + static_cast<int>(batch->tickets());
    // When the journal's thread is half the stream's lookahead behind, this
    // thread works out the digests (most of the journal's work) rather than
    // wait for it later.
    Worker::Work work;
    if (worker_->ticketsBehind(batch->first) > PrintStream::ticketsAhead / 2 ||
        worker_->bytesBehind(toldBytes_) > PrintStream::bytesAhead / 2)
        worker_->addDigests(*batch, hasher_, work.digests);
    toldBytes_ += batch->bytes.size();
    // The confirmation of the batches before rides in this batch's transaction.
    work.batch = std::move(batch);
    work.counts = {confirmed_, printed_};
    worker_->post(std::move(work));
    lastCount_ = Clock::now();
}

Recorded RunRecorder::recorded(int tickets, bool wait)
{
    const Recorded state = started_ ? worker_->recorded(tickets, wait) : Recorded::Yes;
    if (state == Recorded::Yes)
        released_ = std::max(released_, tickets);
    return state;
}

std::string RunRecorder::failure() const
{
    if (leaseLost_)
        return "This station could not renew its hold on the printer " + lease_->printer() +
               " in the print journal in time.\nPrinting stopped: another station may print to it now.";
    return (worker_ ? worker_->failure() : std::string()) +
           "\nPrinting stopped: no ticket goes to the printer without its record in the journal.";
}

// Recorded as the start is, before the first batch: the job that confirms
// the run's tickets, also once the run has ended.
void RunRecorder::spooled(int job)
{
    if (!started_)
        return;
    Worker::Work work;
    work.kind = Worker::Kind::Start;
    work.call = [job](Journal& journal, std::int64_t run) { journal.spooled(run, job); };
    worker_->post(std::move(work));
}

// A slow printer acknowledges tickets long after they were told: then the
// count is recorded on its own, at most every confirmInterval.
void RunRecorder::confirmed(int count)
{
    confirmed_ = count;
    postCounts();
}


// Rides with the confirmation told next, the next batch or the end.
void RunRecorder::printed(int count) { printed_ = count; }

bool RunRecorder::stopAsked() const { return worker_ && worker_->stopAsked.load(std::memory_order_relaxed); }

void RunRecorder::holdLease(const PrinterLease* lease)
{
    lease_ = lease;
    if (!lease || !worker_)
        return;
    Worker::Work work;
    work.kind = Worker::Kind::Start;
    work.call = [printer = lease->printer(), fence = lease->fence()](Journal& journal, std::int64_t) {
        journal.markUnderLease(printer, fence);
    };
    worker_->post(std::move(work));
}

// Once lost, lost: a renewal that lands after the stream stopped changes nothing.
bool RunRecorder::mayWrite() const
{
    if (lease_ && !leaseLost_ && !lease_->mayWrite())
        leaseLost_ = true;
    return !leaseLost_;
}

void RunRecorder::postCounts()
{
    if (!started_)
        return;
    const auto now = Clock::now();
    if (now - lastCount_ < confirmInterval)
        return;
    lastCount_ = now;
    Worker::Work work;
    work.kind = Worker::Kind::Count;
    work.call = [counts = TicketCounts{confirmed_, printed_}](Journal& journal, std::int64_t run) {
        journal.confirm(run, counts);
    };
    worker_->post(std::move(work));
}

void RunRecorder::ended(PrintOutcome outcome, int confirmed, int written, const std::string& message)
{
    ended_ = true;
    confirmed_ = confirmed;
    if (!started_)
        return;
    const RunOutcome recorded = outcome == PrintOutcome::Printed     ? RunOutcome::Printed
                                : outcome == PrintOutcome::Cancelled ? RunOutcome::Cancelled
                                                                     : RunOutcome::Failed;
    const bool withdrawn = written < told_;
    Worker::Work work;
    work.kind = Worker::Kind::End;
    work.call = [recorded, counts = TicketCounts{confirmed, printed_}, written, withdrawn,
                 message](Journal& journal, std::int64_t run) {
        if (withdrawn)
            journal.unsent(run, written);
        journal.endRun(run, recorded, counts, message);
    };
    worker_->post(std::move(work));
    std::optional<std::string> unrecorded;
    if (!thread_)
        return;
    if (!worker_->drain(Clock::now() + answerWithin))
        unrecorded = "The print journal " + journalDisplayName(access_->path()).toStdString() +
                     " did not answer within " + std::to_string(answerWithin.count()) + " seconds.";
    else
        unrecorded = worker_->takeEndFailure();
    if (unrecorded)
        messages_.show(*unrecorded + "\nThe end of run " + std::to_string(worker_->run) +
                           " is recorded once the journal takes it.",
                       MessageIcon::Warning);
}

RunStart runStart(std::string source, const PrinterSettings& printer)
{
    RunStart run;
    run.source = std::move(source);
    run.printer = printer.name;
    run.printerType = printer.kind == PrinterKind::Epson ? "EPSON" : "ZEBRA";
    run.dpi = printer.kind == PrinterKind::Zebra ? printer.resolution.dpi : 0;
    run.version = TRAVCARD_VERSION;
    return run;
}
