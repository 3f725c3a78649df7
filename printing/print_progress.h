#pragma once
// How far a print run has got, shared between the run (on the job's thread)
// and the window that shows it; and the operator's wish to cancel, which the
// run looks at between tickets.

#include <atomic>
#include <stop_token>

enum class TicketUnit { Tickets, Pages };

class PrintProgress {
public:
    void begin(int total, TicketUnit unit)
    {
        unit_ = unit;
        sent_ = 0;
        total_ = total;
    }
    void ticketsSent(int count) { sent_ += count; }
    void cancel() { cancelled_ = true; }
    // The run waits for the printer, which prints for another station.
    void waitingForPrinter(bool waiting) { waitingForPrinter_ = waiting; }
    bool waitingForPrinter() const { return waitingForPrinter_; }
    // Stops at the ticket being sent, without waiting for the printer to
    // acknowledge it: what it has not acknowledged is in doubt.
    void stopAtOnce()
    {
        cancelled_ = true;
        atOnce_.request_stop();
    }
    std::stop_token stopAtOnceToken() const { return atOnce_.get_token(); }
    // The program stops, as well as the run: a run of a queue it shares with
    // other programs, given up while it waited for its printer, waits there
    // again, for another.
    void leave()
    {
        leaving_ = true;
        cancelled_ = true;
    }
    bool leaving() const { return leaving_; }

    int sent() const { return sent_; }
    int total() const { return total_; }
    TicketUnit unit() const { return unit_; }
    bool cancelled() const { return cancelled_; }

private:
    std::atomic<TicketUnit> unit_{TicketUnit::Tickets};
    std::atomic<int> sent_{0};
    std::atomic<int> total_{0};
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> waitingForPrinter_{false};
    std::atomic<bool> leaving_{false};
    std::stop_source atOnce_;
};
