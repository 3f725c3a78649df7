#pragma once
// The journal's side of a RunRecorder: its work, in the order posted, on a
// thread of its own. Included by journal_recorder.cpp only.

#include "exactly_once/journal_recorder.h"
#include "printing/print_stream.h"

#include <QDir>
#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// The recorder's journal work, in the order posted, done on a thread of its
// own; the journal's connection is opened, used and closed there. Batches
// that wait together are recorded in one transaction, so that the journal
// keeps up with the printer. Everything the thread uses is here, so that a
// thread that outlives its recorder uses nothing that is gone.
class RunRecorder::Worker {
public:
    using Clock = std::chrono::steady_clock;
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
