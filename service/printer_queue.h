#pragma once
// One printer's runs, one at a time in the order they came, on a thread of
// the queue's own that owns its database session: runs to different
// printers go side by side, and no ODBC connection is ever used by two
// threads. At most capacity runs wait: a request takes its place before
// anything is claimed for it, and the place is its run's or given back.
//
// Shared: the prints wait in the journal, which the services of the plant
// share, and the queue's thread takes the oldest for its printer from
// there, a run of its own or one another instance accepted; the jobs held
// here are what this instance knows of its own. A job not in the journal
// (Print the Rest, Reprint) is this instance's alone, and goes first.

#include "commands/order_run.h"
#include "journal/journal.h"
#include "printing/print_progress.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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
        bool inJournal = false;                     // it waits in a shared queue's journal too
    };

    // What a shared queue asks of the journal, on the queue's thread.
    struct Shared {
        // The oldest run waiting for this printer, taken: nothing when none
        // waits (or the journal refuses now).
        // connection: the queue thread's own, opened when null, closed there.
        std::function<std::optional<SharedRun>(std::unique_ptr<Journal>& connection)> take;
        // The job of a run another instance accepted.
        std::function<Job(const SharedRun&)> jobFor;
        // A job of this instance's that no longer waits in the journal:
        // another instance took it, or it was cancelled there.
        std::function<void(std::int64_t run)> movedAway;
        // A run taken as the queue stops, which never began: it waits again.
        std::function<void(std::unique_ptr<Journal>& connection, std::int64_t run)> giveBack;
        std::chrono::milliseconds poll{1000};  // how often the journal is read while idle
    };

    PrinterQueue(std::string name, std::chrono::milliseconds databaseTimeout, std::optional<Shared> shared = {});
    // Stops, and returns once the queue's thread has ended.
    ~PrinterQueue();
    PrinterQueue(const PrinterQueue&) = delete;
    PrinterQueue& operator=(const PrinterQueue&) = delete;

    const std::string& name() const { return name_; }

    // A place for one more run: false when capacity runs wait or hold
    // places, or the queue has stopped.
    bool reserve();
    void giveBack();
    // Queues a job in a place reserved for it: false, and nothing queued
    // (the place given back), once the queue has stopped.
    bool add(Job job);
    int waiting() const;
    bool busy() const;
    // Whether run waits in this queue (it has not begun); in the shared
    // queue's journal too.
    bool holds(std::int64_t run) const;
    bool holdsInJournal(std::int64_t run) const;
    // Takes run out of the queue before it begins: false when it does not
    // wait here (it began, or never was here).
    bool withdraw(std::int64_t run);
    // Cancels run when it is the one printing: it stops after the ticket
    // the printer takes. False when it is not.
    bool cancelRunning(std::int64_t run);
    // The run printing (0 when none) and those waiting, in order.
    struct Contents {
        std::int64_t printing = 0;
        std::vector<std::int64_t> waiting;
    };
    Contents contents() const;

    // Takes no more jobs, drops those waiting (each told, on a thread of
    // its own), and asks the running one to stop after its current ticket;
    // atOnce, at the ticket being sent. Returns at once.
    void stop(bool atOnce);
    // Whether the queue's thread has ended.
    bool ended() const;

private:
    void runJobs(std::chrono::milliseconds databaseTimeout);
    bool withdrawLocked(std::int64_t run);
    // The next job, from the journal; nothing while none waits.
    std::optional<Job> nextShared(std::unique_lock<std::mutex>& lock, std::unique_ptr<Journal>& connection);

    std::string name_;
    mutable std::mutex guard_;
    std::condition_variable changed_;
    std::deque<Job> waiting_;                  // guarded
    int reserved_ = 0;                         // guarded: places taken, their jobs not yet added
    std::shared_ptr<PrintProgress> running_;   // guarded: the running job's
    std::int64_t runningRun_ = 0;              // guarded: its run
    bool busy_ = false;                        // guarded
    bool stopping_ = false;                    // guarded
    const std::optional<Shared> shared_;
    QThread* thread_ = nullptr;
    std::thread dropping_;                     // tells the dropped jobs
};

}  // namespace service
