#include "exactly_once/printer_lease.h"

#include "exactly_once/journal_recorder.h"
#include "printing/print_progress.h"

#include <QThread>
#include <QUuid>

#include <future>
#include <thread>
#include <utility>

LeaseKeeper::LeaseKeeper(QString journalPath) : path_(std::move(journalPath))
{
    // A QThread: Qt SQL keeps data per thread, which it lets go with a thread it knows.
    thread_.reset(QThread::create([this] { serve(); }));
    thread_->setObjectName(QStringLiteral("leases"));
    thread_->start();
}

LeaseKeeper::~LeaseKeeper()
{
    {
        const std::lock_guard lock(guard_);
        closing_ = true;
    }
    changed_.notify_all();
    thread_->wait();
}

void LeaseKeeper::post(Task task)
{
    {
        const std::lock_guard lock(guard_);
        tasks_.push_back(std::move(task));
    }
    changed_.notify_all();
}

std::variant<std::int64_t, PrinterHolder> LeaseKeeper::take(const std::string& printer, const std::string& holder,
                                                            std::chrono::milliseconds stallLimit)
{
    // A take that answers too late is abandoned: never counted held, so the
    // next renewal finds it unclaimed and gives it back (see renew).
    auto answer = std::make_shared<std::promise<std::variant<std::int64_t, PrinterHolder>>>();
    std::future<std::variant<std::int64_t, PrinterHolder>> taken = answer->get_future();
    post({[this, answer, printer, holder, stallLimit](Journal& journal) {
              const Clock::time_point asked = Clock::now();
              auto result = journal.takePrinterLease(printer, holder, stallLimit);
              const std::lock_guard lock(guard_);
              if (abandoned_.erase(holder) == 0 && std::holds_alternative<std::int64_t>(result))
                  held_[holder] = {printer, asked + Journal::leaseTerm};
              answer->set_value(std::move(result));
          },
          [this, answer, holder](std::exception_ptr error) {
              const std::lock_guard lock(guard_);
              abandoned_.erase(holder);
              answer->set_exception(error);
          }});
    if (taken.wait_for(answerWithin) != std::future_status::ready) {
        // Answers are given under guard_: one not given by now comes too late.
        std::unique_lock lock(guard_);
        if (taken.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
            lock.unlock();
            return taken.get();
        }
        abandoned_.insert(holder);
        throw JournalError("The print journal " + journalDisplayName(path_).toStdString() +
                           " cannot be written: it did not answer within " + std::to_string(answerWithin.count()) +
                           " seconds");
    }
    return taken.get();
}

void LeaseKeeper::release(const std::string& printer, const std::string& holder)
{
    {
        const std::lock_guard lock(guard_);
        held_.erase(holder);
    }
    // One not given back (the journal refused) expires by itself.
    post({[printer, holder](Journal& journal) { journal.releasePrinterLease(printer, holder); }, {}});
}

LeaseKeeper::Clock::time_point LeaseKeeper::heldUntil(const std::string& holder) const
{
    const std::lock_guard lock(guard_);
    const auto found = held_.find(holder);
    return found == held_.end() ? Clock::time_point::min() : found->second.second;
}

// The journal is opened again after any refusal.
void LeaseKeeper::serve()
{
    std::unique_ptr<Journal> journal;
    Clock::time_point nextRenewal = Clock::now();
    Clock::time_point nextSweep = Clock::now() + sweepEvery;
    std::unique_lock lock(guard_);
    while (!closing_) {
        changed_.wait_until(lock, nextRenewal, [this] { return closing_ || !tasks_.empty(); });
        if (closing_)
            break;
        std::deque<Task> tasks = std::exchange(tasks_, {});
        lock.unlock();
        // A renewal that is due goes before anything else the keeper does,
        // each of which may wait for the writers' lock.
        const auto renewIfDue = [&] {
            if (Clock::now() < nextRenewal)
                return;
            try {
                if (!journal)
                    journal = std::make_unique<Journal>(path_);
                nextRenewal = Clock::now() + Journal::leaseRenewEvery;
                renew(*journal);
            } catch (const std::exception&) {
                // Shows in heldUntil; tried again soon, on a new connection,
                // well before the margin is reached.
                journal.reset();
                nextRenewal = Clock::now() + retryRenewalAfter;
            }
        };
        renewIfDue();
        if (journal && Clock::now() >= nextSweep) {
            nextSweep = Clock::now() + sweepEvery;
            try {
                // A run whose owner stopped renewing (its machine died, or
                // lost the journal) is interrupted once its lease expired,
                // by whoever sees it first.
                journal->closeInterruptedRuns();
            } catch (const std::exception&) {
                journal.reset();
            }
        }
        for (Task& task : tasks) {
            renewIfDue();
            try {
                if (!journal)
                    journal = std::make_unique<Journal>(path_);
                task.perform(*journal);
            } catch (const std::exception&) {
                journal.reset();
                if (task.refused)
                    task.refused(std::current_exception());
            }
        }
        lock.lock();
    }
    // Leases given back as the program ends: the printer is free at once
    // rather than after the lease and the stall limit.
    std::deque<Task> last = std::exchange(tasks_, {});
    lock.unlock();
    bool reachable = true;  // one failure is enough: the leases expire anyway
    for (Task& task : last) {
        try {
            if (!reachable)
                throw JournalError("The print journal is not reachable.");
            if (!journal)
                journal = std::make_unique<Journal>(path_);
            task.perform(*journal);
        } catch (const std::exception&) {
            reachable = false;
            if (task.refused)
                task.refused(std::current_exception());
        }
    }
    journal.reset();  // closed on the thread that opened it
}

// A lease this process holds that no run claims (its take answered too
// late) is given back.
void LeaseKeeper::renew(Journal& journal)
{
    const Clock::time_point asked = Clock::now();
    std::vector<HeldLease> unclaimed;
    for (HeldLease& lease : journal.renewLeases()) {
        const std::lock_guard lock(guard_);
        const auto found = held_.find(lease.holder);
        if (found != held_.end())
            found->second.second = asked + Journal::leaseTerm;
        else
            unclaimed.push_back(std::move(lease));
    }
    for (const HeldLease& lease : unclaimed)
        journal.releasePrinterLease(lease.printer, lease.holder);
}

PrinterLease::PrinterLease(std::shared_ptr<LeaseKeeper> keeper, std::string printer, std::string holder,
                           std::int64_t fence)
    : keeper_(std::move(keeper)), printer_(std::move(printer)), holder_(std::move(holder)), fence_(fence)
{
}

PrinterLease::~PrinterLease() { keeper_->release(printer_, holder_); }

bool PrinterLease::mayWrite() const
{
    return LeaseKeeper::Clock::now() + Journal::leaseMargin < keeper_->heldUntil(holder_);
}

std::string newLeaseHolder() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString(); }

PrinterTurn awaitPrinterTurn(JournalAccess* journal, const PrinterSettings& printer, PrintProgress* progress,
                             std::stop_token stop, std::int64_t run)
{
    PrinterTurn turn;
    if (!journal || journal->off() || !isServerJournal(journal->path()) || printer.name.starts_with("preview:"))
        return turn;
    const auto givenUp = [&] { return stop.stop_requested() || (progress && progress->cancelled()); };
    std::unique_ptr<Journal> reader;  // opened once the run waits
    // Asked to stop, or ended by another program (its lease ran out).
    const auto askedToStop = [&] {
        if (run == 0)
            return false;
        try {
            MessageList unseen;
            if (!reader)
                reader = journal->open(unseen);
            return reader && reader->stopAskedOrEnded(run);
        } catch (const JournalError&) {
            return false;  // read again at the next round
        }
    };
    struct Told {
        PrintProgress* progress;
        ~Told()
        {
            if (progress)
                progress->waitingForPrinter(false);
        }
    } told{progress};
    const std::shared_ptr<LeaseKeeper> keeper = journal->leases();
    try {
        for (;;) {
            if (givenUp()) {
                turn.givenUp = true;
                return turn;
            }
            const std::string holder = newLeaseHolder();
            const auto taken = keeper->take(printer.name, holder, printer.limits.stallTimeout);
            if (const std::int64_t* fence = std::get_if<std::int64_t>(&taken)) {
                turn.lease = std::make_unique<PrinterLease>(keeper, printer.name, holder, *fence);
                return turn;
            }
            if (progress)
                progress->waitingForPrinter(true);
            for (int tenth = 0; tenth < 10 && !givenUp(); ++tenth)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!givenUp() && askedToStop()) {
                turn.givenUp = true;
                return turn;
            }
        }
    } catch (const JournalError& error) {
        turn.refused = std::string(error.what()) + "\nPrinting stopped: the printer is printed to only by the station "
                                                   "that holds it in the journal.";
    }
    return turn;
}

bool PrinterTurn::goesOn(MessageBox& messages, PrintEnding& outcome) const
{
    if (!refused.empty()) {
        messages.show(refused, MessageIcon::Critical);
        outcome = PrintEnding::PrinterFault;
        return false;
    }
    if (givenUp) {
        messages.show("Printing cancelled before any ticket was sent.", MessageIcon::None);
        outcome = PrintEnding::Stopped;
        return false;
    }
    return true;
}
