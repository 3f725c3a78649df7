#include "service/printer_queue.h"

#include <QThread>

#include <algorithm>

namespace service {

PrinterQueue::PrinterQueue(std::string name, std::chrono::milliseconds databaseTimeout, std::optional<Shared> shared)
    : name_(std::move(name)), shared_(std::move(shared))
{
    thread_ = QThread::create([this, databaseTimeout] { runJobs(databaseTimeout); });
    thread_->start();
}

PrinterQueue::~PrinterQueue()
{
    stop(false);
    thread_->wait();
    delete thread_;
    if (dropping_.joinable())
        dropping_.join();
}

bool PrinterQueue::reserve()
{
    const std::lock_guard lock(guard_);
    if (stopping_ || static_cast<int>(waiting_.size()) + reserved_ >= capacity)
        return false;
    ++reserved_;
    return true;
}

void PrinterQueue::giveBack()
{
    const std::lock_guard lock(guard_);
    reserved_ = std::max(0, reserved_ - 1);
}

bool PrinterQueue::add(Job job)
{
    {
        const std::lock_guard lock(guard_);
        reserved_ = std::max(0, reserved_ - 1);
        if (stopping_)
            return false;
        waiting_.push_back(std::move(job));
    }
    changed_.notify_all();
    return true;
}

int PrinterQueue::waiting() const
{
    const std::lock_guard lock(guard_);
    return static_cast<int>(waiting_.size());
}

bool PrinterQueue::busy() const
{
    const std::lock_guard lock(guard_);
    return busy_;
}

bool PrinterQueue::holds(std::int64_t run) const
{
    const std::lock_guard lock(guard_);
    return std::any_of(waiting_.begin(), waiting_.end(), [run](const Job& job) { return job.run == run; });
}

bool PrinterQueue::holdsInJournal(std::int64_t run) const
{
    const std::lock_guard lock(guard_);
    return std::any_of(waiting_.begin(), waiting_.end(),
                       [run](const Job& job) { return job.run == run && job.inJournal; });
}

bool PrinterQueue::withdraw(std::int64_t run)
{
    const std::lock_guard lock(guard_);
    return withdrawLocked(run);
}

bool PrinterQueue::withdrawLocked(std::int64_t run)
{
    const auto job = std::find_if(waiting_.begin(), waiting_.end(), [run](const Job& job) { return job.run == run; });
    if (job == waiting_.end())
        return false;
    waiting_.erase(job);
    return true;
}

bool PrinterQueue::cancelRunning(std::int64_t run)
{
    const std::lock_guard lock(guard_);
    if (!running_ || runningRun_ != run)
        return false;
    running_->cancel();
    return true;
}

PrinterQueue::Contents PrinterQueue::contents() const
{
    const std::lock_guard lock(guard_);
    Contents contents{busy_ ? runningRun_ : 0, {}};
    for (const Job& job : waiting_)
        contents.waiting.push_back(job.run);
    return contents;
}

void PrinterQueue::stop(bool atOnce)
{
    std::deque<Job> dropped;
    {
        const std::lock_guard lock(guard_);
        if (running_) {
            running_->leave();
            if (atOnce)
                running_->stopAtOnce();
        }
        if (stopping_)
            return;
        stopping_ = true;
        dropped.swap(waiting_);
    }
    changed_.notify_all();
    // Giving a claim back writes to the journal: not on the caller's thread.
    dropping_ = std::thread([dropped = std::move(dropped)] {
        for (const Job& job : dropped)
            if (job.dropped)
                job.dropped();
    });
}

bool PrinterQueue::ended() const { return thread_->isFinished() && !thread_->isRunning(); }

std::optional<PrinterQueue::Job> PrinterQueue::nextShared(std::unique_lock<std::mutex>& lock,
                                                         std::unique_ptr<Journal>& connection)
{
    // This instance's own first: they wait nowhere else.
    const auto own = std::find_if(waiting_.begin(), waiting_.end(), [](const Job& job) { return !job.inJournal; });
    if (own != waiting_.end()) {
        Job job = std::move(*own);
        waiting_.erase(own);
        return job;
    }
    // Those known before the journal is read: each waited there by then.
    std::vector<std::int64_t> known;
    for (const Job& job : waiting_)
        known.push_back(job.run);
    lock.unlock();
    std::optional<Job> next;
    std::optional<SharedRun> taken;
    try {
        if ((taken = shared_->take(connection))) {
            lock.lock();
            const auto mine = std::find_if(waiting_.begin(), waiting_.end(),
                                           [&](const Job& job) { return job.run == taken->run; });
            if (mine != waiting_.end()) {
                next = std::move(*mine);
                waiting_.erase(mine);
                return next;
            }
            lock.unlock();
            next = shared_->jobFor(*taken);
        } else {
            // Nothing waits for this printer: another instance took them.
            for (const std::int64_t run : known) {
                lock.lock();
                const bool withdrawn = withdrawLocked(run);
                lock.unlock();
                if (withdrawn)
                    shared_->movedAway(run);
            }
        }
    } catch (const std::exception&) {
        // Out of memory: a run taken waits again, for the next turn.
        if (taken && !next)
            shared_->giveBack(connection, taken->run);
    }
    lock.lock();
    return next;
}

void PrinterQueue::runJobs(std::chrono::milliseconds databaseTimeout)
{
    std::unique_ptr<Journal> journal;  // a shared queue's, closed on this thread
    OrderRun session(databaseTimeout);
    for (;;) {
        Job job;
        {
            std::unique_lock lock(guard_);
            if (shared_) {
                changed_.wait_for(lock, shared_->poll, [this] { return stopping_ || !waiting_.empty(); });
                if (stopping_)
                    return;
                std::optional<Job> next = nextShared(lock, journal);
                if (!next)
                    continue;
                if (stopping_) {
                    // Taken as the service stopped: it waits again, for another instance.
                    lock.unlock();
                    if (next->inJournal || !next->dropped)
                        shared_->giveBack(journal, next->run);
                    else
                        next->dropped();
                    return;
                }
                job = std::move(*next);
            } else {
                changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
                if (stopping_)
                    return;
                job = std::move(waiting_.front());
                waiting_.pop_front();
            }
            running_ = job.progress;
            runningRun_ = job.run;
            busy_ = true;
        }
        job.work(session);
        const std::lock_guard lock(guard_);
        running_.reset();
        runningRun_ = 0;
        busy_ = false;
    }
}

}  // namespace service
