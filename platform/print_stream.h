#pragma once
// The output of one print run, ticket by ticket: opens the destination that
// PRINTER= names (checking a Zebra printer on the network first), hands each
// whole ticket on, counts what was sent, stops at a ticket boundary when the
// operator cancels, and words every stop with that count.

#include "platform/message_box.h"
#include "platform/print_progress.h"
#include "platform/printer_destination.h"
#include "platform/printer_settings.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class PrintStream {
public:
    // progress may be null: then nobody watches or cancels.
    PrintStream(const PrinterSettings& printer, std::shared_ptr<PrintProgress> progress);
    ~PrintStream();  // a stream not finished is abandoned

    // Opens the destination. False, with the message shown, when it cannot
    // be reached, or when a Zebra printer reports a fault or does not answer.
    bool open(MessageBox& messages);

    // The run will send total tickets (or EPSON pages).
    void begin(int total, TicketUnit unit);

    // Sends one whole ticket. False, with the message shown, when the run
    // stops here: cancelled before it, or the printer failed.
    bool send(std::string_view ticket, MessageBox& messages);

    // A ticket could not be built: shows text with the count, and stops.
    void stop(const std::string& text, MessageIcon icon, MessageBox& messages);

    // Completes the job. False, with the message shown, when that fails.
    bool finish(MessageBox& messages);

    // The output a preview: destination kept, after finish.
    std::optional<std::string> takePreview();

private:
    bool checkZebraStatus(MessageBox& messages);
    std::string countLine(std::uint64_t unconfirmedBytes = 0) const;
    void fail(const PrinterError& error, MessageBox& messages);

    PrinterSettings printer_;
    std::shared_ptr<PrintProgress> progress_;
    std::unique_ptr<PrinterDestination> destination_;
    // Where the recent tickets end in the stream, for counting those that a
    // failing printer confirmed; tickets further back are settled.
    std::uint64_t bytesSent_ = 0;
    std::deque<std::uint64_t> ticketEnds_;
    int settled_ = 0;
    int total_ = 0;
    TicketUnit unit_ = TicketUnit::Tickets;
};
