#include "printing/print_stream.h"

#include "printing/zebra_status.h"

PrintStream::PrintStream(const PrinterSettings& printer, std::shared_ptr<PrintProgress> progress,
                         std::stop_token stop)
    : printer_(printer), progress_(std::move(progress)), stop_(std::move(stop))
{
}

PrintStream::~PrintStream() = default;

bool PrintStream::open(MessageBox& messages)
{
    if (stop_.stop_requested())
        return false;
    try {
        destination_ = openDestination(printer_.name, printer_.limits, stop_);
    } catch (const PrinterError&) {
        messages.show(printerNotAvailable(printer_.name), MessageIcon::None);
        return false;
    }
    return checkZebraStatus(messages);
}

// A Zebra printer on the network is asked for its status first: with its
// media out or its head open it takes a job without printing it, and then
// it does not answer at all.
bool PrintStream::checkZebraStatus(MessageBox& messages)
{
    if (printer_.kind != PrinterKind::Zebra || !destination_->answersRequests())
        return true;
    const std::string prefix = "The printer " + printer_.name;
    std::string reply;
    try {
        reply = destination_->request(hostStatusRequest, hostStatusComplete, printer_.limits.statusTimeout);
    } catch (const PrinterError&) {
        messages.show(printerNotAvailable(printer_.name), MessageIcon::None);
        destination_.reset();
        return false;
    }
    const std::optional<ZebraStatus> status = parseHostStatus(reply);
    std::optional<std::string> problem;
    if (reply.empty())
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

namespace {
// More than any connection's send queue holds.
constexpr std::uint64_t unsettledWindow = std::uint64_t{64} << 20;
}  // namespace

void PrintStream::settleCount(std::uint64_t confirmedBytes)
{
    int reached = settled_;
    for (const std::uint64_t end : ticketEnds_)
        reached += end <= confirmedBytes ? 1 : 0;
    // A spooled job that is abandoned is cancelled: none of it prints.
    if (destination_ && !destination_->keepsPartialOutput())
        reached = 0;
    sent_ = reached;
}

std::string PrintStream::countLine() const
{
    return std::to_string(sent_) + " of " + std::to_string(total_) +
           (unit_ == TicketUnit::Pages ? " pages were sent." : " tickets were sent.");
}

bool PrintStream::send(std::string_view ticket, MessageBox& messages)
{
    if (stopped()) {
        endCancelled(messages);
        return false;
    }
    if (!batch_) {
        if (spares_.empty()) {
            batch_ = std::make_shared<TicketBatch>();
            batch_->bytes.reserve(batchBytes + batchBytes / 4);
        } else {
            batch_ = std::move(spares_.back());
            spares_.pop_back();
        }
    }
    batch_->bytes.append(ticket);
    batch_->ends.push_back(batch_->bytes.size());
    ticketEnds_.push_back(bytesSent_ + waitingBytes_ + batch_->bytes.size());
    return (batch_->bytes.size() < batchBytes && !printerIsSlow_) || passOn(messages, false);
}

void PrintStream::endCancelled(MessageBox& messages)
{
    std::size_t dropped = batch_ ? batch_->tickets() : 0;
    for (const auto& batch : waiting_)
        dropped += batch->tickets();
    dropped -= frontWritten_;
    batch_.reset();
    dropWaiting();
    ticketEnds_.resize(ticketEnds_.size() - dropped);
    settleCount(bytesSent_);
    const std::string text = "Printing cancelled: " + countLine();
    messages.show(text, MessageIcon::None);
    tellEnd(PrintOutcome::Cancelled, text);
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
        const bool ahead = !writeAll && !printerIsSlow_ && told_ - end <= ticketsAhead && waitingBytes_ <= bytesAhead;
        if (observer_ && !observer_->recorded(end, !ahead))
            break;
        if (!writeNext(messages))
            return false;
    }
    return true;
}

// Writes the rest of the batch at the front or, once the printer is slow,
// its next ticket, so that Cancel takes effect at the next ticket.
bool PrintStream::writeNext(MessageBox& messages)
{
    if (stopped()) {
        endCancelled(messages);
        return false;
    }
    TicketBatch& batch = *waiting_.front();
    const std::size_t from = frontWritten_;
    const std::size_t to = printerIsSlow_ ? from + 1 : batch.tickets();
    const std::size_t start = from == 0 ? 0 : batch.ends[from - 1];
    const std::string_view bytes = std::string_view(batch.bytes).substr(start, batch.ends[to - 1] - start);
    const int tickets = static_cast<int>(to - from);
    try {
        wroteAny_ = true;
        written_ += tickets;
        const auto began = std::chrono::steady_clock::now();
        destination_->write(bytes);
        printerIsSlow_ = printerIsSlow_ || std::chrono::steady_clock::now() - began > slowWrite;
    } catch (const PrinterError& error) {
        fail(error, messages);
        return false;
    }
    bytesSent_ += bytes.size();
    waitingBytes_ -= bytes.size();
    frontWritten_ = to;
    if (to == batch.tickets())
        retireFront();
    while (ticketEnds_.front() + unsettledWindow < bytesSent_) {
        ticketEnds_.pop_front();
        ++settled_;
    }
    sent_ += tickets;
    if (observer_)
        observer_->confirmed(sent_);
    if (progress_)
        progress_->ticketsSent(tickets);
    return true;
}

// The batch at the front was written: its buffer is used again for a later
// batch, unless the observer still holds it.
void PrintStream::retireFront()
{
    std::shared_ptr<TicketBatch> batch = std::move(waiting_.front());
    waiting_.pop_front();
    frontWritten_ = 0;
    if (batch.use_count() == 1 && spares_.size() < maxSpares) {
        batch->bytes.clear();
        batch->ends.clear();
        spares_.push_back(std::move(batch));
    }
}

void PrintStream::stop(const std::string& text, MessageIcon icon, MessageBox& messages)
{
    if (!passOn(messages, true))
        return;
    settleCount(bytesSent_);
    messages.show(text + "\n" + countLine(), icon);
    tellEnd(PrintOutcome::Failed, text + "\n" + countLine());
    destination_.reset();
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
        destination_->finish();
    } catch (const PrinterError& error) {
        fail(error, messages);
        return false;
    }
    tellEnd(PrintOutcome::Printed, {});
    return true;
}

void PrintStream::fail(const PrinterError& error, MessageBox& messages)
{
    const std::string& text =
        error.operatorText().empty() ? printerNotAvailable(printer_.name) : error.operatorText();
    dropWaiting();
    settleCount(destination_->confirmedBytes());
    messages.show(text + "\n" + countLine(), MessageIcon::None);
    tellEnd(PrintOutcome::Failed, text + "\n" + countLine());
    destination_.reset();
}

void PrintStream::tellEnd(PrintOutcome outcome, const std::string& message)
{
    if (observer_)
        observer_->ended(outcome, sent_, written_, message);
}

std::optional<std::string> PrintStream::takePreview()
{
    return destination_ ? destination_->takeCapture() : std::nullopt;
}
