#include "commands/job_runner.h"

#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {
std::atomic<int> unfinished{0};
}

struct JobRunner::Job {
    std::function<void()> work;
    std::function<void()> done;
    std::mutex mutex;
    std::condition_variable workReturned;
    bool returned = false;       // guarded by mutex
    QObject* receiver = nullptr;  // guarded by mutex; null once abandoned
};

JobRunner::JobRunner(QObject& receiver) : receiver_(receiver) {}

JobRunner::~JobRunner() { abandon(); }

bool JobRunner::start(std::function<void()> work, std::function<void()> done)
{
    if (busy())
        return false;
    auto job = std::make_shared<Job>();
    job->work = std::move(work);
    job->done = std::move(done);
    job->receiver = &receiver_;
    current_ = job;
    ++unfinished;
    std::thread([this, job] {
        job->work();
        // What the work holds (a given-up database session, say) goes here,
        // on this thread, before the job counts as finished.
        job->work = nullptr;
        {
            const std::lock_guard lock(job->mutex);
            job->returned = true;
            job->workReturned.notify_all();
            // abandon() clears receiver before the runner or the receiver goes.
            if (job->receiver)
                QMetaObject::invokeMethod(job->receiver, [this, job] { deliver(job); },
                                          Qt::QueuedConnection);
        }
        --unfinished;
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
    {
        const std::lock_guard lock(current_->mutex);
        current_->receiver = nullptr;
    }
    current_.reset();
}

int JobRunner::unfinishedJobs() { return unfinished; }
