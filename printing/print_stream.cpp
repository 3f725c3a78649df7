#include "printing/print_stream.h"

#include "printing/printer_readiness.h"

#include <algorithm>
#include <atomic>

PrintStream::PrintStream(const PrinterSettings& printer, std::shared_ptr<PrintProgress> progress,
                         std::stop_token stop)
    : printer_(printer), progress_(std::move(progress)), stop_(givenUp_.get_token())
{
    jobGivenUp_.emplace(std::move(stop), RequestStop{&givenUp_});
    if (progress_)
        stoppedAtOnce_.emplace(progress_->stopAtOnceToken(), RequestStop{&givenUp_});
    wait_.cancelled = [this] { return progress_ && progress_->cancelled(); };
    wait_.acknowledged = [this] { countAcknowledged(); };
}

PrintStream::~PrintStream() = default;

bool PrintStream::open(MessageBox& messages)
{
    if (stop_.stop_requested())
        return false;
    try {
        destination_ = openDestination(printer_.name, printer_.limits, stop_);
    } catch (const PrinterError& error) {
        messages.show(printerNotAvailable(printer_.name, error), MessageIcon::None);
        return false;
    }
    if (!checkZebraStatus(messages))
        return false;
    detectResolution();
    // A network printer's tickets are recorded as sending only as they can
    // leave, half the flight bound at a time: were this program killed, or
    // the station's power cut, what is in doubt is what was in flight.
    acknowledgementsKept_ = destination_->keepsWhatItAcknowledges();
    batchLimit_ = acknowledgementsKept_ ? fileBatchBytes : PrinterDestination::inFlight / 2;
    tellSpoolJob();
    return true;
}

void PrintStream::tellSpoolJob()
{
    if (observer_ && destination_)
        if (const int job = destination_->spoolJob())
            observer_->spooled(job);
}

void PrintStream::detectResolution()
{
    if (printer_.kind != PrinterKind::Zebra)
        return;
    dpi_ = printer_.resolution.dpi;
    if (!printer_.resolution.detect || !destination_->answersRequests())
        return;
    dpi_ = standardDpi;
    try {
        const std::string reply = destination_->request(hostIdentificationRequest, hostIdentificationComplete,
                                                        printer_.limits.statusTimeout);
        if (const std::optional<int> dotsPerMm = dotsPerMillimetre(reply))
            dpi_ = dpiOfDotsPerMillimetre(*dotsPerMm).value_or(standardDpi);
    } catch (const PrinterError&) {
        // The job itself will tell whether the printer is there.
    }
}

// A Zebra printer on the network is asked for its status first: with its
// media out or its head open it takes a job without printing it, and then
// it does not answer at all.
bool PrintStream::checkZebraStatus(MessageBox& messages)
{
    if (printer_.kind != PrinterKind::Zebra || !destination_->answersRequests())
        return true;
    const std::string prefix = "The printer " + printer_.name;
    HostStatusAnswer answer;
    try {
        answer = askHostStatus(*destination_, printer_.limits.statusTimeout);
    } catch (const PrinterError& error) {
        messages.show(printerNotAvailable(printer_.name, error), MessageIcon::None);
        destination_.reset();
        return false;
    }
    const std::optional<ZebraStatus>& status = answer.status;
    std::optional<std::string> problem;
    if (answer.reply.empty())
        problem = prefix + " is not responding.";
    else if (!status)
        problem = prefix + " gave a status answer that could not be read.";
    else if (const std::string faults = faultsInWords(*status); !faults.empty())
        problem = prefix + " reports: " + faults;
    if (!problem)
        return true;
    messages.show(*problem, MessageIcon::Warning);
    destination_.reset();
    return false;
}

void PrintStream::begin(int total, TicketUnit unit)
{
    total_ = total;
    unit_ = unit;
    if (progress_)
        progress_->begin(total, unit);
}

void PrintStream::countAcknowledged()
{
    if (!destination_)
        return;
    const std::uint64_t acknowledged = destination_->acknowledgedBytes();
    int newly = 0;
    for (; !unacknowledgedEnds_.empty() && unacknowledgedEnds_.front() <= acknowledged; ++newly)
        unacknowledgedEnds_.pop_front();
    if (newly == 0)
        return;
    sent_ += newly;
    if (observer_)
        observer_->confirmed(sent_);
    if (progress_)
        progress_->ticketsSent(newly);
}

std::string PrintStream::countLine() const
{
    std::string line = std::to_string(sent_) + " of " + std::to_string(total_) +
                       (unit_ == TicketUnit::Pages ? " pages were sent." : " tickets were sent.");
    if (connectionDropped_ && sent_ > 0) {
        line.append("\n").append(std::to_string(sent_));
        line.append(unit_ == TicketUnit::Pages ? " pages" : " tickets");
        line.append(" reached the printer; the printer dropped the connection, so any of them may be lost.");
    }
    return line;
}

void PrintStream::noteDropped()
{
    if (destination_ && wroteAny_ && !acknowledgementsKept_)
        connectionDropped_ = true;
}

bool PrintStream::send(std::string_view ticket, MessageBox& messages)
{
    if (stopped()) {
        endCancelled(messages);
        return false;
    }
    if (!batch_)
        batch_ = freeBatch();
    batch_->bytes.append(ticket);
    batch_->ends.push_back(batch_->bytes.size());
    return (batch_->bytes.size() < batchLimit_ && !printerIsSlow_) || passOn(messages, false);
}

void PrintStream::endCancelled(MessageBox& messages)
{
    batch_.reset();
    dropWaiting();
    completeJob();
    const std::string text = "Printing cancelled: " + countLine();
    messages.show(text, MessageIcon::None);
    tellEnd(PrintOutcome::Cancelled, text);
}

void PrintStream::endUnrecorded(MessageBox& messages)
{
    unrecorded_ = true;
    batch_.reset();
    dropWaiting();
    completeJob();
    const std::string text = observer_->failure() + "\n" + countLine();
    messages.show(text, MessageIcon::Critical);
    tellEnd(PrintOutcome::Failed, text);
}

void PrintStream::completeJob()
{
    if (!destination_)
        return;
    if (wroteAny_ && !stop_.stop_requested()) {
        try {
            destination_->finish(wait_);
        } catch (const PrinterError&) {
            // It failed while taking the last tickets: they are counted as far as it acknowledged them.
            noteDropped();
        }
    } else if (stop_.stop_requested()) {
        noteDropped();  // the connection is reset, not ended
    }
    countAcknowledged();
    destination_.reset();
}

void PrintStream::dropWaiting()
{
    waiting_.clear();
    waitingBytes_ = 0;
    frontWritten_ = 0;
}

bool PrintStream::passOn(MessageBox& messages, bool writeAll)
{
    if (stop_.stop_requested()) {
        endCancelled(messages);
        return false;
    }
    if (batch_ && !batch_->bytes.empty()) {
        if (!acknowledgementsKept_) {
            try {
                destination_->awaitRoom(batch_->bytes.size(), wait_);
            } catch (const PrinterError& error) {
                fail(error, messages);
                return false;
            }
            if (stopped()) {
                endCancelled(messages);
                return false;
            }
        }
        batch_->first = told_;
        told_ += static_cast<int>(batch_->tickets());
        waitingBytes_ += batch_->bytes.size();
        waiting_.push_back(std::move(batch_));
        if (observer_)
            observer_->writing(waiting_.back());
    }
    while (!waiting_.empty()) {
        const TicketBatch& next = *waiting_.front();
        const int end = next.first + static_cast<int>(next.tickets());
        const bool ahead = acknowledgementsKept_ && !writeAll && !printerIsSlow_ && told_ - end <= ticketsAhead &&
                           waitingBytes_ <= bytesAhead;
        const Recorded recorded = observer_ ? observer_->recorded(end, !ahead) : Recorded::Yes;
        if (recorded == Recorded::NotYet)
            break;
        if (recorded == Recorded::Never) {
            endUnrecorded(messages);
            return false;
        }
        if (!writeNext(messages))
            return false;
    }
    return true;
}

// Writes the rest of the batch at the front or, once the printer is slow,
// its next ticket: a ticket at a time, looking at Cancel before each, so
// that Cancel takes effect at the next ticket also while the printer keeps up.
bool PrintStream::writeNext(MessageBox& messages)
{
    TicketBatch& batch = *waiting_.front();
    const std::size_t to = printerIsSlow_ ? frontWritten_ + 1 : batch.tickets();
    while (frontWritten_ < to) {
        if (stopped()) {
            endCancelled(messages);
            return false;
        }
        if (!writeTicket(batch.ticket(frontWritten_), messages))
            return false;
        ++frontWritten_;
    }
    if (frontWritten_ == batch.tickets())
        retireFront();
    countAcknowledged();
    return true;
}

bool PrintStream::writeTicket(std::string_view bytes, MessageBox& messages)
{
    unacknowledgedEnds_.push_back(bytesWritten_ + bytes.size());
    std::size_t accepted = 0;
    try {
        wroteAny_ = true;
        ++written_;
        const auto began = std::chrono::steady_clock::now();
        accepted = destination_->write(bytes, wait_);
        if (accepted < bytes.size())
            accepted = completeTicket(bytes, {bytes.size()}, accepted);
        printerIsSlow_ = printerIsSlow_ || std::chrono::steady_clock::now() - began > slowWrite;
    } catch (const PrinterError& error) {
        fail(error, messages);
        return false;
    }
    bytesWritten_ += accepted;
    if (accepted < bytes.size()) {
        // Cancelled while the printer made the write wait, before the
        // ticket's first byte: it never left.
        unacknowledgedEnds_.pop_back();
        --written_;
        endCancelled(messages);
        return false;
    }
    waitingBytes_ -= bytes.size();
    return true;
}

std::size_t PrintStream::completeTicket(std::string_view bytes, const std::vector<std::size_t>& ends,
                                        std::size_t accepted)
{
    if (accepted == 0)
        return 0;
    const std::size_t end = *std::lower_bound(ends.begin(), ends.end(), accepted);
    const PrinterWait uncancelled{nullptr, wait_.acknowledged};
    while (accepted < end)
        accepted += destination_->write(bytes.substr(accepted, end - accepted), uncancelled);
    return end;
}

// A written batch the observer no longer holds, emptied, or a new one: a
// buffer the journal still held when its batch was written is used again
// once the journal lets it go, rather than freed on the journal's thread.
std::shared_ptr<TicketBatch> PrintStream::freeBatch()
{
    for (auto spare = spares_.begin(); spare != spares_.end(); ++spare) {
        if (spare->use_count() != 1)
            continue;
        // Pairs with the observer's release of its reference, after its last read.
        std::atomic_thread_fence(std::memory_order_acquire);
        std::shared_ptr<TicketBatch> batch = std::move(*spare);
        spares_.erase(spare);
        batch->bytes.clear();
        batch->ends.clear();
        return batch;
    }
    auto batch = std::make_shared<TicketBatch>();
    batch->bytes.reserve(batchLimit_ + batchLimit_ / 4);
    return batch;
}

// The batch at the front was written: its buffer is kept for a later batch,
// to be used once the observer lets it go.
void PrintStream::retireFront()
{
    std::shared_ptr<TicketBatch> batch = std::move(waiting_.front());
    waiting_.pop_front();
    frontWritten_ = 0;
    if (spares_.size() < maxSpares)
        spares_.push_back(std::move(batch));
}

void PrintStream::stop(const std::string& text, MessageIcon icon, MessageBox& messages)
{
    if (!passOn(messages, true))
        return;
    completeJob();
    messages.show(text + "\n" + countLine(), icon);
    tellEnd(PrintOutcome::Failed, text + "\n" + countLine());
}

bool PrintStream::finish(MessageBox& messages)
{
    if (!passOn(messages, true))
        return false;
    if (stop_.stop_requested()) {
        endCancelled(messages);
        return false;
    }
    try {
        destination_->finish(wait_);
    } catch (const PrinterError& error) {
        fail(error, messages);
        return false;
    }
    countAcknowledged();
    tellEnd(PrintOutcome::Printed, {});
    return true;
}

void PrintStream::fail(const PrinterError& error, MessageBox& messages)
{
    // The not-available line and its reason, then the count.
    const std::string text = printerNotAvailable(printer_.name, error);
    batch_.reset();
    dropWaiting();
    countAcknowledged();
    noteDropped();
    messages.show(text + "\n" + countLine(), MessageIcon::None);
    tellEnd(PrintOutcome::Failed, text + "\n" + countLine());
    destination_.reset();
}

void PrintStream::tellEnd(PrintOutcome outcome, const std::string& message)
{
    // Of a connection that did not end in order, nothing the printer
    // acknowledged is known to be kept: all of it is in doubt.
    if (observer_)
        observer_->ended(outcome, connectionDropped_ ? 0 : sent_, written_, message);
}

std::optional<std::string> PrintStream::takePreview()
{
    return destination_ ? destination_->takeCapture() : std::nullopt;
}
