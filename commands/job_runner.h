#pragma once
// Runs blocking work (database calls, printer input and output) on a thread
// of its own and hands the result to a callback on the receiver's thread, so
// that the windows keep painting and answering while the work goes on. One
// job at a time: a job asked for while another runs is refused.
//
// A job that never returns can be abandoned: its result is dropped, its stop
// token is set, so that it acts on nothing outside any more, the runner takes
// the next job at once, and the thread ends on its own whenever its call
// returns.

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

class QObject;

class JobRunner {
public:
    // Callbacks run on receiver's thread, and only while receiver lives.
    explicit JobRunner(QObject& receiver);
    ~JobRunner();  // abandons a job that still runs
    JobRunner(const JobRunner&) = delete;
    JobRunner& operator=(const JobRunner&) = delete;

    // True from the start of a job until its callback has been called.
    bool busy() const { return current_ != nullptr; }

    // Runs job(stop) on its own thread, then callback(result) on the
    // receiver's thread; an exception that job throws goes to failed instead.
    // stop is set when the job is abandoned: the job looks at it before
    // every effect outside the program. False, and nothing run, while
    // another job is busy.
    template <class Result>
    bool runThenCallback(std::function<Result(std::stop_token)> job, std::function<void(Result)> callback,
                         std::function<void(std::exception_ptr)> failed)
    {
        auto result = std::make_shared<std::optional<Result>>();
        auto error = std::make_shared<std::exception_ptr>();
        return start(
            [job = std::move(job), result, error](std::stop_token stop) {
                try {
                    result->emplace(job(stop));
                } catch (...) {
                    *error = std::current_exception();
                }
            },
            [callback = std::move(callback), failed = std::move(failed), result, error] {
                if (*error)
                    failed(*error);
                else
                    callback(std::move(**result));
            });
    }

    // Waits at most timeout for the busy job's work to return (its callback
    // still comes through the receiver's event loop). True when no work is left.
    bool waitForWork(std::chrono::milliseconds timeout);

    // Gives up the busy job: its stop token is set and its callback is
    // never called.
    void abandon();

    // Jobs of all runners whose work has not returned yet, abandoned ones too.
    static int unfinishedJobs();
    // Waits at most timeout for them to return; true when none is left.
    static bool waitForUnfinishedJobs(std::chrono::milliseconds timeout);

private:
    struct Job;
    bool start(std::function<void(std::stop_token)> work, std::function<void()> done);
    void deliver(const std::shared_ptr<Job>& job);

    QObject& receiver_;
    std::shared_ptr<Job> current_;
};
