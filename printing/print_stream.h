#pragma once
// The output of one print run, ticket by ticket: opens the destination that
// PRINTER= names (checking a Zebra printer on the network first), hands whole
// tickets on, counts what was sent, stops at a ticket boundary when the
// operator cancels, and words every stop with that count.
//
// Tickets are gathered in batches, each recorded by the observer (the
// journal) as sending before its first byte is written, and written a
// ticket at a time, Cancel looked at before each. Once a write has had to
// wait, batches are one ticket each for the rest of the run. To a file or
// device, whose write confirms, the journal records batches in the
// background while the next ones are built; a batch is written once its
// record is done, waiting for it only when ticketsAhead more tickets (or
// bytesAhead more bytes) wait. To a network printer, a batch is at most
// half the flight bound and is recorded only once the printer's TCP has
// room for it, the batch before it written: were this program killed, or
// the power cut, what is in doubt is what was in flight and the batch
// recorded, together at most the flight bound. A batch is recorded while
// the next one is built, and written once its record is done.
//
// The count follows the printer, not this station: a ticket is sent once
// the printer has acknowledged its last byte (PrinterDestination::
// acknowledgedBytes), and the observer and the progress hear of it then.
// A network printer whose connection does not end in order (it resets or
// drops it, stalls, or the run is given up) may drop what it acknowledged:
// the run then ends with none of it confirmed, and says so.
//
// A network Zebra printer that answered before the run proves which
// tickets it printed (PrintedProof): asked between two tickets about once a
// second, and after the last until its buffer is empty, for at most
// proofWaitBase plus proofWaitPerTicket for each ticket not yet proven.
// What it proved is told to the observer; of a connection that does not end
// in order, what it proved stays confirmed and only the tickets after it
// are in doubt. A run the operator stops asks once more, for at most
// stopProofWait.
//
// A run the operator stops writes no ticket after the one it is writing
// (one the printer made wait is completed, so that only whole tickets
// reach it), then waits until the printer has acknowledged what it was
// given and closes the job normally. A run that was given up (its stop
// token set, or its progress told to stop at once) sends nothing more: the
// stream looks at the token before it opens, writes and finishes, and the
// destination while it waits for the printer, and a network printer's
// connection is reset. A run whose tickets the observer cannot record
// stops before them in the same way.

#include "printing/print_observer.h"
#include "printing/print_progress.h"
#include "printing/printer_destination.h"
#include "printing/printer_settings.h"
#include "printing/zebra_proof.h"
#include "text/message_box.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

class PrintStream {
public:
    // progress may be null: then nobody watches or cancels.
    PrintStream(const PrinterSettings& printer, std::shared_ptr<PrintProgress> progress,
                std::stop_token stop = {});
    ~PrintStream();  // a stream not finished is abandoned

    // Told of every batch and of the end of the run; may be null. Not owned.
    void setObserver(PrintObserver* observer)
    {
        observer_ = observer;
        tellSpoolJob();
    }

    // Opens the destination. False, with the message shown, when it cannot
    // be reached, or when a Zebra printer reports a fault or does not answer.
    // A network Zebra printer whose resolution is to be detected is asked it.
    bool open(MessageBox& messages);

    // The resolution the run's Zebra jobs are laid out for: DPI=, or what a
    // network printer answered to ~HI when DPI=auto (203 without an answer
    // that says 8, 12 or 24 dots/mm); 0 for an EPSON printer.
    int dpi() const { return dpi_; }

    // The run will send total tickets (or EPSON pages).
    void begin(int total, TicketUnit unit);

    // Sends one whole ticket, or keeps it for the next batch. False, with the
    // message shown, when the run stops here: cancelled before it (the kept
    // tickets are dropped), or the printer failed.
    bool send(std::string_view ticket, MessageBox& messages);

    // A ticket could not be built: sends the tickets before it, then shows
    // text with the count, and stops.
    void stop(const std::string& text, MessageIcon icon, MessageBox& messages);

    // Sends the kept tickets and completes the job. False, with the message
    // shown, when that fails.
    bool finish(MessageBox& messages);

    // Tickets are kept until they fill this many bytes...
    static constexpr std::size_t batchBytes = 64 * 1024;
    // ...to a file or device, whose write confirms, four times that: each
    // batch's mark is synced to the disk, and fewer syncs keep the journal's
    // cost within a fifth of the run's.
    static constexpr std::size_t fileBatchBytes = 4 * batchBytes;
    // ...until a write of the run takes longer than this.
    static constexpr std::chrono::milliseconds slowWrite{20};
    // How far the stream builds ahead of the batch being written to a file
    // or device: besides the batch just built, up to ticketsAhead tickets
    // past its end (about three batches of labels) while at most bytesAhead
    // bytes wait. Each is recorded as sending before it is written: were the
    // program to die, those recorded would be in doubt though they had not
    // left. A network printer's batches are never recorded ahead of its room.
    static constexpr int ticketsAhead = 150;
    static constexpr std::size_t bytesAhead = 1024 * 1024;

    static constexpr std::chrono::milliseconds proofEvery{1000};
    static constexpr std::chrono::milliseconds endProofEvery{500};
    static constexpr std::chrono::seconds proofWaitBase{10};
    static constexpr std::chrono::seconds proofWaitPerTicket{2};
    static constexpr std::chrono::seconds stopProofWait{2};

    // How many tickets the printer acknowledged whole, of those the run
    // was to send.
    int ticketsSent() const { return sent_; }
    // How many of them the printer proved it printed.
    int ticketsPrinted() const { return printed_; }
    int ticketsPlanned() const { return total_; }
    // Whether any byte of a ticket was handed to the destination.
    bool wroteAny() const { return wroteAny_; }
    // Whether it stopped because the observer could not record a batch.
    bool unrecorded() const { return unrecorded_; }
    // Whether the operator cancelled the run (here or, through the
    // observer, from elsewhere).
    bool cancelled() const
    {
        return (progress_ && progress_->cancelled()) || (observer_ && observer_->stopAsked());
    }
    // Whether it was cancelled or given up.
    bool stopped() const { return cancelled() || stop_.stop_requested(); }

    // The output a preview: destination kept, after finish.
    std::optional<std::string> takePreview();

private:
    bool checkZebraStatus(MessageBox& messages);
    // Tells the observer of the spooler's job, once both are there.
    void tellSpoolJob();
    void detectResolution();
    // The batch built goes to the observer, and the batches it recorded to
    // the printer; with writeAll, all of them.
    bool passOn(MessageBox& messages, bool writeAll);
    bool writeRecorded(MessageBox& messages, bool writeAll);
    bool writeNext(MessageBox& messages);
    // A write the operator stopped after accepted bytes: the ticket it fell
    // in is completed. Where the written tickets now end in bytes.
    std::size_t completeTicket(std::string_view bytes, const std::vector<std::size_t>& ends, std::size_t accepted);
    std::shared_ptr<TicketBatch> freeBatch();
    void retireFront();
    void dropWaiting();
    // Ends a cancelled or given-up run at the ticket boundary before the
    // kept tickets, which are dropped.
    void endCancelled(MessageBox& messages);
    // Ends a run whose next tickets the observer cannot record.
    void endUnrecorded(MessageBox& messages);
    // Completes the job with the whole tickets written, waiting for the
    // printer to acknowledge them, unless the run was given up.
    void completeJob();
    // Counts the tickets the printer has acknowledged by now, and those it
    // proved it printed.
    void countAcknowledged();
    // Reads what the printer answered; true when it proved more printed.
    bool readProof();
    // Asks the printer how far it has printed, when it is time to.
    void askForProof();
    // Sends the request now; false when the connection cannot take it yet.
    bool askNow(std::chrono::steady_clock::time_point now);
    // Waits for the answer to the request outstanding, at most until.
    // A cancelled run waits too when whileCancelled.
    void awaitProof(std::chrono::steady_clock::time_point until, bool whileCancelled = false);
    // After the last ticket: asks until every ticket is proven printed, or
    // the wait's bound passes, or the printer falls silent.
    void proveToTheEnd();
    // A stopped run: one more answer, within stopProofWait.
    void proveOnce();
    bool proving() const { return proof_ && !proof_->givenUp() && destination_; }
    bool canAsk() const { return proving() && !destination_->broken(); }
    // The job is closed now: a request left unanswered will be answered to
    // a closed socket, which resets the connection.
    void noteUnanswered();
    std::string countLine() const;
    // The job's connection ended otherwise than in order: what the printer
    // acknowledged is in doubt.
    void noteDropped();
    bool writeTicket(std::string_view bytes, MessageBox& messages);
    void fail(const PrinterError& error, MessageBox& messages);
    void tellEnd(PrintOutcome outcome, const std::string& message);

    PrinterSettings printer_;
    std::size_t batchLimit_ = fileBatchBytes;
    bool acknowledgementsKept_ = true;  // the destination's keepsWhatItAcknowledges()
    bool connectionDropped_ = false;    // the printer's connection did not end in order
    int dpi_ = 0;
    std::shared_ptr<PrintProgress> progress_;
    // Set when the run's job is given up, or when its progress is told to
    // stop at once.
    struct RequestStop {
        std::stop_source* source;
        void operator()() const { source->request_stop(); }
    };
    std::stop_source givenUp_;
    std::optional<std::stop_callback<RequestStop>> jobGivenUp_, stoppedAtOnce_;
    std::stop_token stop_;
    PrinterWait wait_;  // the operator's cancel; the count, as the printer acknowledges
    PrintObserver* observer_ = nullptr;
    std::unique_ptr<PrinterDestination> destination_;
    std::shared_ptr<TicketBatch> batch_;                // being built
    std::deque<std::shared_ptr<TicketBatch>> waiting_;  // told to the observer, not yet written
    std::size_t waitingBytes_ = 0;   // not yet written
    std::size_t frontWritten_ = 0;  // tickets of the first waiting batch already written
    std::vector<std::shared_ptr<TicketBatch>> spares_;  // written, their buffers kept
    static constexpr std::size_t maxSpares = 8;
    bool printerIsSlow_ = false;
    std::optional<PrintedProof> proof_;  // a network Zebra printer's
    bool requestsAnswered_ = true;       // every request before the run was answered whole
    std::chrono::steady_clock::time_point lastAsk_;
    std::uint64_t acknowledgedBytes_ = 0;            // of the job, as last counted
    std::chrono::steady_clock::time_point lastTaken_;  // when that count last grew
    int printed_ = 0;
    std::optional<int> unansweredAtClose_;  // the tickets before the first request then unanswered
    std::string endNote_;  // said of a run whose last tickets were not proven printed
    std::uint64_t bytesWritten_ = 0;
    // Where the tickets written whole end in the job, until the printer has
    // acknowledged them.
    std::deque<std::uint64_t> unacknowledgedEnds_;
    int sent_ = 0;
    int told_ = 0;     // tickets told to the observer
    int written_ = 0;  // tickets handed to the destination, whole or in part
    bool wroteAny_ = false;
    bool unrecorded_ = false;
    int total_ = 0;
    TicketUnit unit_ = TicketUnit::Tickets;
};
