#include "service/printer_queue.h"

#include <QThread>

#include <algorithm>

namespace service {

PrinterQueue::PrinterQueue(std::string name, std::chrono::milliseconds databaseTimeout) : name_(std::move(name))
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

bool PrinterQueue::withdraw(std::int64_t run)
{
    const std::lock_guard lock(guard_);
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
            if (atOnce)
                running_->stopAtOnce();
            else
                running_->cancel();
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

void PrinterQueue::runJobs(std::chrono::milliseconds databaseTimeout)
{
    OrderRun session(databaseTimeout);
    for (;;) {
        Job job;
        {
            std::unique_lock lock(guard_);
            changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (stopping_)
                return;
            job = std::move(waiting_.front());
            waiting_.pop_front();
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
