#pragma once
// What a print stream tells whoever keeps a record of the run (the journal):
// the tickets it is about to write, how many the printer has taken, and how
// the run ended. Positions count the run's tickets (or EPSON pages) from 0.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum class PrintOutcome { Printed, Cancelled, Failed };

// Whether tickets are recorded as sending, so that they may be written.
enum class Recorded {
    Yes,
    NotYet,
    Never,  // the record cannot be made: the run stops before them
};

// Whole tickets as one write hands them to the printer.
struct TicketBatch {
    int first = 0;  // the position of its first ticket
    std::string bytes;
    std::vector<std::size_t> ends;  // where each ticket ends in bytes

    std::size_t tickets() const { return ends.size(); }
    std::string_view ticket(std::size_t i) const
    {
        const std::size_t start = i == 0 ? 0 : ends[i - 1];
        return std::string_view(bytes).substr(start, ends[i] - start);
    }
};

class PrintObserver {
public:
    virtual ~PrintObserver() = default;

    // The batch is about to be written; the tickets before it have been
    // handed to the printer or told here. Its bytes are not written before
    // recorded() says that it is.
    virtual void writing(std::shared_ptr<const TicketBatch> batch) = 0;

    // Whether the run's first tickets are recorded as sending; with wait,
    // returns once they are, or once they never will be (Never: the stream
    // then stops before them, showing failure()). A batch is written only
    // once it is recorded; meanwhile the stream builds more, as far as
    // PrintStream::ticketsAhead and bytesAhead allow.
    virtual Recorded recorded(int /*tickets*/, bool /*wait*/) { return Recorded::Yes; }

    // Why tickets cannot be recorded, in the operator's words.
    virtual std::string failure() const { return {}; }

    // The run's tickets go to the spooler's job (a CUPS job id), which
    // confirms them once the spooler completes it, perhaps after the run:
    // told before the first batch.
    virtual void spooled(int /*job*/) {}

    // Whether someone elsewhere (another program sharing the record) asked
    // the run to stop: the stream then stops as when the operator cancels.
    virtual bool stopAsked() const { return false; }

    // Whether the run may still hand the printer tickets: false once this
    // station can no longer be sure that the printer is its alone. The
    // stream then stops before the next ticket, showing failure().
    virtual bool mayWrite() const { return true; }

    // The printer has acknowledged the run's first count tickets.
    virtual void confirmed(int count) = 0;

    // The printer itself proved that it printed the run's first count
    // tickets, never more than are confirmed: told just before confirmed()
    // or ended(), whose record carries it.
    virtual void printed(int /*count*/) {}

    // The run ended: the printer acknowledged its first confirmed tickets
    // whole (or, of a connection that did not end in order, proved it
    // printed them), and its first written tickets were handed to it, whole or in
    // part (those told after them never left); message is what the
    // operator was told (empty when all went well).
    virtual void ended(PrintOutcome outcome, int confirmed, int written, const std::string& message) = 0;
};
