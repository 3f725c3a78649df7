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
    stop();
    if (!waitForEnd(std::chrono::seconds(5))) {
        // A run stuck in a driver call past its limits: its thread is left
        // to end on its own rather than hold the service's exit.
        thread_->setParent(nullptr);
        QObject::connect(thread_, &QThread::finished, thread_, &QObject::deleteLater);
        return;
    }
    delete thread_;
}

bool PrinterQueue::add(Job job)
{
    {
        const std::lock_guard lock(guard_);
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

void PrinterQueue::stop()
{
    std::deque<Job> dropped;
    {
        const std::lock_guard lock(guard_);
        stopping_ = true;
        dropped.swap(waiting_);
        if (running_)
            running_->cancel();
    }
    changed_.notify_all();
    for (Job& job : dropped)
        if (job.dropped)
            job.dropped();
}

bool PrinterQueue::waitForEnd(std::chrono::milliseconds limit) { return thread_->wait(QDeadlineTimer(limit)); }

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
            busy_ = true;
        }
        job.work(session);
        const std::lock_guard lock(guard_);
        running_.reset();
        busy_ = false;
    }
}

}  // namespace service
