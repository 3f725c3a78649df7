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
    wait_.cancelled = [this] { return cancelled(); };
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
    if (printer_.kind == PrinterKind::Zebra && destination_->answersRequests() && requestsAnswered_)
        proof_.emplace();
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
        // Its answer may still come, where the run's proof would misread it.
        requestsAnswered_ = hostIdentificationComplete(reply);
        if (const std::optional<int> dotsPerMm = dotsPerMillimetre(reply))
            dpi_ = dpiOfDotsPerMillimetre(*dotsPerMm).value_or(standardDpi);
    } catch (const PrinterError&) {
        // The job itself will tell whether the printer is there.
        requestsAnswered_ = false;
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
    if (acknowledged > acknowledgedBytes_) {
        acknowledgedBytes_ = acknowledged;
        lastTaken_ = std::chrono::steady_clock::now();
    }
    int newly = 0;
    for (; !unacknowledgedEnds_.empty() && unacknowledgedEnds_.front() <= acknowledged; ++newly)
        unacknowledgedEnds_.pop_front();
    sent_ += newly;
    if (progress_ && newly > 0)
        progress_->ticketsSent(newly);
    const bool proved = readProof();
    if (!observer_ || (newly == 0 && !proved))
        return;
    if (proved)
        observer_->printed(printed_);
    observer_->confirmed(sent_);
}

bool PrintStream::readProof()
{
    if (!proving())
        return false;
    proof_->received(destination_->takeReceived());
    // The printer read what it printed, so its TCP acknowledged it; the
    // count of acknowledgements may lag a moment behind.
    const int proven = std::min(proof_->printed(), sent_);
    if (proven <= printed_)
        return false;
    printed_ = proven;
    return true;
}

void PrintStream::askForProof()
{
    if (!canAsk() || !proof_->worthAsking())
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastAsk_ < proofEvery)
        return;
    try {
        askNow(now);
    } catch (const PrinterError&) {
        // The next write, or the job's end, meets the same failure and reports it.
    }
}

bool PrintStream::askNow(std::chrono::steady_clock::time_point now)
{
    if (!destination_->sendAside(hostStatusRequest))
        return false;
    proof_->asked(now);
    lastAsk_ = now;
    return true;
}

void PrintStream::awaitProof(std::chrono::steady_clock::time_point until, bool whileCancelled)
{
    while (canAsk() && proof_->awaiting() && std::chrono::steady_clock::now() < until && !stop_.stop_requested() &&
           (whileCancelled || !stopped())) {
        destination_->awaitIncoming(std::min(until, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
        countAcknowledged();
    }
}

void PrintStream::proveToTheEnd()
{
    using Clock = std::chrono::steady_clock;
    if (!canAsk() || proof_->ticketsWritten() == 0)
        return;
    const int unproven = proof_->ticketsWritten() - proof_->printed();
    const auto bound = Clock::now() + proofWaitBase + proofWaitPerTicket * unproven;
    bool boundPassed = false;
    int asksAtEnd = 0;  // the first is sent at once, the others endProofEvery apart
    while (canAsk() && !proof_->allPrinted() && !stopped()) {
        const auto now = Clock::now();
        if (proof_->awaiting()) {
            // A printer that answered during the run reads the request only
            // once it has room, as it prints: its answer may take until the
            // bound. One that never did is silent once it has taken nothing
            // for the status time-out.
            const auto silentFrom =
                proof_->answers() > 0 ? bound
                                      : std::max(proof_->lastAskedAt(), lastTaken_) + printer_.limits.statusTimeout;
            if (now >= silentFrom) {
                boundPassed = proof_->answers() > 0;
                break;  // nothing more is proven
            }
            awaitProof(silentFrom);
            continue;
        }
        if (now >= bound) {
            boundPassed = true;
            break;
        }
        if (const auto next = lastAsk_ + endProofEvery; asksAtEnd > 0 && now < next) {
            destination_->awaitIncoming(std::min(next, bound));
            countAcknowledged();
            continue;
        }
        try {
            if (askNow(now)) {
                ++asksAtEnd;
            } else {
                destination_->awaitIncoming(now + std::chrono::milliseconds(20));
                countAcknowledged();
            }
        } catch (const PrinterError&) {
            break;  // finishing the job reports it
        }
    }
    countAcknowledged();
    const int unprinted = proof_->ticketsWritten() - proof_->printed();
    if (boundPassed && unprinted > 0)
        endNote_ = "The printer still had " + std::to_string(unprinted) + (unprinted == 1 ? " ticket" : " tickets") +
                   " to print when the wait for them ended: they were sent, not proven printed.";
}

void PrintStream::proveOnce()
{
    if (!canAsk())
        return;
    const auto now = std::chrono::steady_clock::now();
    try {
        if (!proof_->awaiting() && !askNow(now))
            return;
    } catch (const PrinterError&) {
        return;
    }
    awaitProof(now + stopProofWait, true);
}

void PrintStream::noteUnanswered()
{
    if (proving())
        unansweredAtClose_ = proof_->beforeFirstUnanswered();
}

std::string PrintStream::countLine() const
{
    std::string line = std::to_string(sent_) + " of " + std::to_string(total_) +
                       (unit_ == TicketUnit::Pages ? " pages were sent." : " tickets were sent.");
    if (connectionDropped_ && sent_ > 0 && printed_ > 0) {
        line.append("\n").append(std::to_string(sent_)).append(" tickets reached the printer, ");
        line.append(printed_ >= sent_ ? "and it printed all of them before it dropped the connection."
                                      : std::to_string(printed_) + " of them printed; the printer dropped the "
                                            "connection, so the other " + std::to_string(sent_ - printed_) +
                                            " may be lost.");
    } else if (connectionDropped_ && sent_ > 0) {
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
    // What was recorded meanwhile is written while the next batch is built.
    if (!waiting_.empty() && !writeRecorded(messages, false))
        return false;
    // To a network printer a batch never grows past its limit, the room it
    // is recorded for, unless one ticket alone does.
    if (!acknowledgementsKept_ && batch_ && !batch_->bytes.empty() &&
        batch_->bytes.size() + ticket.size() > batchLimit_ && !passOn(messages, false))
        return false;
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
        proveOnce();
        noteUnanswered();
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
            // The batch before, recorded while this one was built, is
            // written first; this one is recorded, while the next is built,
            // once the printer has room for it.
            if (!writeRecorded(messages, true))
                return false;
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
    return writeRecorded(messages, writeAll);
}

// Writes the batches at the front once they are recorded, waiting for a
// record only when the stream may build no further ahead (with writeAll,
// for every batch).
bool PrintStream::writeRecorded(MessageBox& messages, bool writeAll)
{
    while (!waiting_.empty()) {
        const TicketBatch& next = *waiting_.front();
        const int end = next.first + static_cast<int>(next.tickets());
        const bool mayBuildOn = !writeAll && !printerIsSlow_;
        const bool ahead = acknowledgementsKept_
                               ? mayBuildOn && told_ - end <= ticketsAhead && waitingBytes_ <= bytesAhead
                               : mayBuildOn;  // the batch just told: passOn wrote those before it
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
        if (observer_ && !observer_->mayWrite()) {
            endUnrecorded(messages);
            return false;
        }
        if (!writeTicket(batch.ticket(frontWritten_), messages))
            return false;
        if (proof_)
            proof_->written(batch.ticket(frontWritten_));
        ++frontWritten_;
        askForProof();
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
    proveToTheEnd();
    if (stop_.stop_requested()) {
        endCancelled(messages);
        return false;
    }
    noteUnanswered();
    try {
        destination_->finish(wait_);
    } catch (const PrinterError& error) {
        fail(error, messages);
        return false;
    }
    countAcknowledged();
    tellEnd(PrintOutcome::Printed, endNote_);
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
    // acknowledged is known to be kept but what it proved it printed.
    if (!observer_)
        return;
    observer_->printed(printed_);
    int confirmed = connectionDropped_ ? printed_ : sent_;
    // Its answer resets the connection after the close, and the printer
    // may drop what it had taken and not read: the tickets after the request.
    if (unansweredAtClose_)
        confirmed = std::min(confirmed, std::max(printed_, *unansweredAtClose_));
    observer_->ended(outcome, confirmed, written_, message);
}

std::optional<std::string> PrintStream::takePreview()
{
    return destination_ ? destination_->takeCapture() : std::nullopt;
}
