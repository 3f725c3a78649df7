#pragma once
// One printer's runs, one at a time in the order they came, on a thread of
// the queue's own that owns its database session: runs to different
// printers go side by side, and no ODBC connection is ever used by two
// threads. The service takes no request for a printer while capacity runs
// wait; runs it claimed meanwhile still join.

#include "commands/order_run.h"
#include "printing/print_progress.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class QThread;

namespace service {

class PrinterQueue {
public:
    static constexpr int capacity = 64;

    struct Job {
        std::int64_t run = 0;  // the journal's run the job prints into
        std::function<void(OrderRun&)> work;        // on the queue's thread
        std::shared_ptr<PrintProgress> progress;    // cancelled when the service stops
        std::function<void()> dropped;              // when the queue stops before the job began
    };

    PrinterQueue(std::string name, std::chrono::milliseconds databaseTimeout);
    ~PrinterQueue();
    PrinterQueue(const PrinterQueue&) = delete;
    PrinterQueue& operator=(const PrinterQueue&) = delete;

    const std::string& name() const { return name_; }

    // False, and nothing queued, once the queue stops; capacity is the
    // caller's to check before it claims the job's run.
    bool add(Job job);
    int waiting() const;
    bool busy() const;
    // Whether run waits in this queue (it has not begun).
    bool holds(std::int64_t run) const;

    // Takes no more jobs, drops those waiting (each told), and asks the
    // running one to stop after its current ticket.
    void stop();
    // Then waits up to limit for it to end; false when it has not.
    bool waitForEnd(std::chrono::milliseconds limit);

private:
    void runJobs(std::chrono::milliseconds databaseTimeout);

    std::string name_;
    mutable std::mutex guard_;
    std::condition_variable changed_;
    std::deque<Job> waiting_;                  // guarded
    std::shared_ptr<PrintProgress> running_;   // guarded: the running job's
    bool busy_ = false;                        // guarded
    bool stopping_ = false;                    // guarded
    QThread* thread_ = nullptr;
};

}  // namespace service
