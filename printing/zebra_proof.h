#pragma once
// Which of a run's tickets a network Zebra printer proved it printed, read
// from its answers to ~HS sent between two tickets. The printer answers a
// tilde command when it reads it, and it reads in order: when the answer
// comes, everything sent before the request has been read, and what it has
// not printed of that is in its receive buffer (eee formats), or is the
// format it is printing (while labels remain or a format is partial). Every
// ticket whose formats lie before those was printed.
//
// Answers come in the order of the requests, as TCP and the printer read
// them, and are matched to the requests in that order. Were the printer to
// drop a request, an answer would be matched to an earlier request than its
// own, which has fewer formats before it: the proof falls short, never
// beyond. At most maxOutstanding requests wait at a time, so that a printer
// that falls silent is asked little more. An answer with a fault (paper out, pause, head up, ribbon out)
// proves nothing; an answer that is not a status, or a ticket without a
// label format, ends the proof for the run.

#include "printing/zebra_status.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

class PrintedProof {
public:
    using Clock = std::chrono::steady_clock;

    // A ticket was handed to the printer whole; each of its label formats
    // ends with ^XZ (field data never holds a caret: it is escaped).
    void written(std::string_view ticket);

    // ~HS was sent now, after the tickets written so far.
    void asked(Clock::time_point at);

    // Bytes the printer sent, read as answers once whole.
    void received(std::string_view bytes);

    // A request not answered yet, and when the last was sent.
    bool awaiting() const { return !pending_.empty(); }
    Clock::time_point lastAskedAt() const { return pending_.empty() ? Clock::time_point{} : pending_.back().at; }
    // The tickets written before the first request not answered yet.
    std::optional<int> beforeFirstUnanswered() const
    {
        return pending_.empty() ? std::nullopt : std::optional<int>(pending_.front().ticketsBefore);
    }
    // Whether the proof ended: nothing more is proven.
    bool givenUp() const { return givenUp_; }
    // Whether it is worth asking: the proof goes on, fewer than
    // maxOutstanding requests wait, and tickets were written since the last.
    bool worthAsking() const { return !givenUp_ && pending_.size() < maxOutstanding && tickets_ > askedAfter_; }
    static constexpr std::size_t maxOutstanding = 16;

    // Answers read, with a fault or without.
    int answers() const { return answers_; }
    int ticketsWritten() const { return tickets_; }
    // The run's first tickets the printer proved it printed.
    int printed() const { return printed_; }
    bool allPrinted() const { return printed_ == tickets_; }
    // The buffer of the last answer without a fault.
    const std::optional<ZebraBuffer>& lastBuffer() const { return lastBuffer_; }

    // The bytes of ~HS sent so far.
    std::uint64_t requestBytes() const { return requestBytes_; }

private:
    void answered(std::string_view answer);

    struct Request {
        std::int64_t formatsBefore = 0;
        int ticketsBefore = 0;
        Clock::time_point at;
    };
    std::deque<Request> pending_;  // in the order they were sent
    // Where each ticket not yet proven ends, counted in formats from the
    // run's first; the first is ticket printed_ + 1.
    std::deque<std::int64_t> unprovenEnds_;
    std::int64_t formats_ = 0;
    int tickets_ = 0;
    int askedAfter_ = -1;  // tickets written when the last request was sent
    int printed_ = 0;
    int answers_ = 0;
    std::string incoming_;
    std::optional<ZebraBuffer> lastBuffer_;
    std::uint64_t requestBytes_ = 0;
    bool givenUp_ = false;
};
