#include "commands/job_runner.h"

#include <QMetaObject>
#include <QObject>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {
std::mutex unfinishedMutex;
std::condition_variable unfinishedChanged;
int unfinished = 0;  // guarded by unfinishedMutex

void countUnfinished(int change)
{
    const std::lock_guard lock(unfinishedMutex);
    unfinished += change;
    unfinishedChanged.notify_all();
}
}  // namespace

struct JobRunner::Job {
    std::function<void(std::stop_token)> work;
    std::function<void()> done;
    std::stop_source stop;
    std::mutex mutex;
    std::condition_variable workReturned;
    bool returned = false;       // guarded by mutex
    QObject* receiver = nullptr;  // guarded by mutex; null once abandoned
};

JobRunner::JobRunner(QObject& receiver) : receiver_(receiver) {}

JobRunner::~JobRunner() { abandon(); }

bool JobRunner::start(std::function<void(std::stop_token)> work, std::function<void()> done)
{
    if (busy())
        return false;
    auto job = std::make_shared<Job>();
    job->work = std::move(work);
    job->done = std::move(done);
    job->receiver = &receiver_;
    current_ = job;
    countUnfinished(+1);
    std::thread([this, job] {
        job->work(job->stop.get_token());
        // What the work holds (a given-up database session, say) goes here,
        // on this thread, before the job counts as finished.
        job->work = nullptr;
        // Counted as returned before the callback can run, so that whoever
        // applies the result sees the job finished.
        countUnfinished(-1);
        {
            const std::lock_guard lock(job->mutex);
            job->returned = true;
            job->workReturned.notify_all();
            // abandon() clears receiver before the runner or the receiver goes.
            if (job->receiver)
                QMetaObject::invokeMethod(job->receiver, [this, job] { deliver(job); },
                                          Qt::QueuedConnection);
        }
    }).detach();
    return true;
}

void JobRunner::deliver(const std::shared_ptr<Job>& job)
{
    {
        // An abandoned job's runner may be gone: touch nothing of it.
        const std::lock_guard lock(job->mutex);
        if (!job->receiver)
            return;
    }
    current_.reset();
    job->done();
}

bool JobRunner::waitForWork(std::chrono::milliseconds timeout)
{
    if (!current_)
        return true;
    std::unique_lock lock(current_->mutex);
    return current_->workReturned.wait_for(lock, timeout, [&] { return current_->returned; });
}

void JobRunner::abandon()
{
    if (!current_)
        return;
    current_->stop.request_stop();
    {
        const std::lock_guard lock(current_->mutex);
        current_->receiver = nullptr;
    }
    current_.reset();
}

int JobRunner::unfinishedJobs()
{
    const std::lock_guard lock(unfinishedMutex);
    return unfinished;
}

bool JobRunner::waitForUnfinishedJobs(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(unfinishedMutex);
    return unfinishedChanged.wait_for(lock, timeout, [] { return unfinished == 0; });
}
