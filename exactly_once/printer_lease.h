#pragma once
// One writer per printer across the plant. On a journal that stations and
// services share (a server's), a run takes its printer's lease before it
// opens the printer and gives it back at its end; a keeper thread renews
// every lease of the process, and its runs' leases, every few seconds, and
// closes as interrupted the runs whose owners stopped renewing theirs. A run
// writes only while its lease has a margin left by this station's own clock,
// and its tickets are marked only under the lease's fence, so a holder cut
// off from the journal stops before another may take the printer.

#include "exactly_once/print_ending.h"
#include "journal/journal.h"
#include "printing/printer_settings.h"
#include "text/message_box.h"

#include <QString>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <variant>

class LeaseKeeper {
public:
    using Clock = std::chrono::steady_clock;

    explicit LeaseKeeper(QString journalPath);
    ~LeaseKeeper();
    LeaseKeeper(const LeaseKeeper&) = delete;
    LeaseKeeper& operator=(const LeaseKeeper&) = delete;

    // Takes the printer's lease for holder on the keeper's thread: its fence,
    // or who holds it. Throws JournalError when the journal refuses, or does
    // not answer within answerWithin.
    std::variant<std::int64_t, PrinterHolder> take(const std::string& printer, const std::string& holder,
                                                   std::chrono::milliseconds stallLimit);
    // Gives it back, after whatever the keeper does before.
    void release(const std::string& printer, const std::string& holder);
    // Until when holder's lease is known to last: its last renewal's start
    // plus the term, which ends no later than the server's expiry.
    Clock::time_point heldUntil(const std::string& holder) const;

    static constexpr std::chrono::seconds answerWithin{15};

private:
    struct Task {
        std::function<void(Journal&)> perform;
        std::function<void(std::exception_ptr)> refused;  // may be empty
    };
    void serve();
    void renew(Journal& journal);
    void post(Task task);

    QString path_;
    mutable std::mutex guard_;
    std::condition_variable changed_;
    std::deque<Task> tasks_;                                    // guarded
    std::map<std::string, std::pair<std::string, Clock::time_point>> held_;  // holder: printer, until; guarded
    std::set<std::string> abandoned_;  // holders whose take answered too late; guarded
    static constexpr std::chrono::seconds sweepEvery{10};  // interrupted runs are looked for
    static constexpr std::chrono::milliseconds retryRenewalAfter{250};
    bool closing_ = false;                                      // guarded
    std::unique_ptr<QThread> thread_;
};

// A printer's lease held by one run; given back when destroyed.
class PrinterLease {
public:
    PrinterLease(std::shared_ptr<LeaseKeeper> keeper, std::string printer, std::string holder, std::int64_t fence);
    ~PrinterLease();
    PrinterLease(const PrinterLease&) = delete;
    PrinterLease& operator=(const PrinterLease&) = delete;

    // Whether the run may hand the printer more: the lease lasts leaseMargin more.
    bool mayWrite() const;
    const std::string& printer() const { return printer_; }
    std::int64_t fence() const { return fence_; }

private:
    std::shared_ptr<LeaseKeeper> keeper_;
    std::string printer_, holder_;
    std::int64_t fence_;
};

// A name for one taking of a lease, unique in the plant.
std::string newLeaseHolder();

// The message while a run waits for another's lease.
inline constexpr const char* printerBusyElsewhere = "The printer is printing for another station.";

class JournalAccess;
class PrintProgress;

// A run's turn at its printer, awaited before the printer is opened.
struct PrinterTurn {
    std::unique_ptr<PrinterLease> lease;  // null when no lease is needed
    std::string refused;                  // why the run cannot have its turn
    bool givenUp = false;                 // cancelled or stopped while it waited

    // Whether the run goes on; if not, says why and sets outcome.
    bool goesOn(MessageBox& messages, PrintEnding& outcome) const;
};

// Takes the printer's lease when the journal is shared (a server's) and the
// printer is a real one, waiting (with progress told, and its Cancel heeded)
// while another station prints to it. A run already in the journal (run,
// or 0) is given up too once it is asked to stop there (travcard cancel,
// another instance of the service).
PrinterTurn awaitPrinterTurn(JournalAccess* journal, const PrinterSettings& printer, PrintProgress* progress,
                             std::stop_token stop, std::int64_t run = 0);
