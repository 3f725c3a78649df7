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
    if ((progress_ && progress_->cancelled()) || stop_.stop_requested()) {
        endCancelled(messages);
        return false;
    }
    batch_.append(ticket);
    ticketEnds_.push_back(bytesSent_ + batch_.size());
    ++ticketsInBatch_;
    return (batch_.size() < batchBytes && !printerIsSlow_) || sendBatch(messages);
}

void PrintStream::endCancelled(MessageBox& messages)
{
    batch_.clear();
    ticketEnds_.resize(ticketEnds_.size() - static_cast<std::size_t>(ticketsInBatch_));
    ticketsInBatch_ = 0;
    settleCount(bytesSent_);
    const std::string text = "Printing cancelled: " + countLine();
    messages.show(text, MessageIcon::None);
    tellEnd(PrintOutcome::Cancelled, text);
    destination_.reset();
}

bool PrintStream::sendBatch(MessageBox& messages)
{
    if (batch_.empty())
        return true;
    if (stop_.stop_requested()) {
        endCancelled(messages);
        return false;
    }
    try {
        tellWriting();
        wroteAny_ = true;
        const auto start = std::chrono::steady_clock::now();
        destination_->write(batch_);
        printerIsSlow_ = printerIsSlow_ || std::chrono::steady_clock::now() - start > slowWrite;
    } catch (const PrinterError& error) {
        fail(error, messages);
        return false;
    }
    bytesSent_ += batch_.size();
    batch_.clear();
    while (ticketEnds_.front() + unsettledWindow < bytesSent_) {
        ticketEnds_.pop_front();
        ++settled_;
    }
    sent_ += ticketsInBatch_;
    if (observer_)
        observer_->confirmed(sent_);
    if (progress_)
        progress_->ticketsSent(ticketsInBatch_);
    ticketsInBatch_ = 0;
    return true;
}

void PrintStream::stop(const std::string& text, MessageIcon icon, MessageBox& messages)
{
    if (!sendBatch(messages))
        return;
    settleCount(bytesSent_);
    messages.show(text + "\n" + countLine(), icon);
    tellEnd(PrintOutcome::Failed, text + "\n" + countLine());
    destination_.reset();
}

bool PrintStream::finish(MessageBox& messages)
{
    if (!sendBatch(messages))
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
    settleCount(destination_->confirmedBytes());
    messages.show(text + "\n" + countLine(), MessageIcon::None);
    tellEnd(PrintOutcome::Failed, text + "\n" + countLine());
    destination_.reset();
}

// The tickets of the batch, which end at the last ticketsInBatch_ ends.
void PrintStream::tellWriting()
{
    if (!observer_)
        return;
    std::vector<std::string_view> tickets;
    tickets.reserve(static_cast<std::size_t>(ticketsInBatch_));
    std::size_t start = 0;
    for (auto end = ticketEnds_.end() - ticketsInBatch_; end != ticketEnds_.end(); ++end) {
        const std::size_t stop = static_cast<std::size_t>(*end - bytesSent_);
        tickets.push_back(std::string_view(batch_).substr(start, stop - start));
        start = stop;
    }
    observer_->writing(sent_, tickets);
}

void PrintStream::tellEnd(PrintOutcome outcome, const std::string& message)
{
    if (observer_)
        observer_->ended(outcome, sent_, message);
}

std::optional<std::string> PrintStream::takePreview()
{
    return destination_ ? destination_->takeCapture() : std::nullopt;
}
