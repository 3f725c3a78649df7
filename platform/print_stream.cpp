#include "platform/print_stream.h"

#include "platform/zebra_status.h"

PrintStream::PrintStream(const PrinterSettings& printer, std::shared_ptr<PrintProgress> progress)
    : printer_(printer), progress_(std::move(progress))
{
}

PrintStream::~PrintStream() = default;

bool PrintStream::open(MessageBox& messages)
{
    try {
        destination_ = openDestination(printer_.pname, printer_.limits);
    } catch (const PrinterError&) {
        messages.show(printerNotAvailable(printer_.pname), MessageIcon::None);
        return false;
    }
    return checkZebraStatus(messages);
}

// A Zebra printer on the network is asked for its status first: with its
// media out or its head open it takes a job without printing it, and then
// it does not answer at all.
bool PrintStream::checkZebraStatus(MessageBox& messages)
{
    if (!printer_.boolZebra || !destination_->answersRequests())
        return true;
    const std::string prefix = "The printer " + printer_.pname;
    std::string reply;
    try {
        reply = destination_->request(hostStatusRequest, hostStatusComplete, printer_.limits.statusTimeout);
    } catch (const PrinterError&) {
        messages.show(printerNotAvailable(printer_.pname), MessageIcon::None);
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

std::string PrintStream::countLine(std::uint64_t unconfirmedBytes) const
{
    const std::uint64_t confirmed = bytesSent_ - std::min(unconfirmedBytes, bytesSent_);
    int reached = settled_;
    for (const std::uint64_t end : ticketEnds_)
        reached += end <= confirmed ? 1 : 0;
    // A spooled job that is abandoned is cancelled: none of it prints.
    if (destination_ && !destination_->keepsPartialOutput())
        reached = 0;
    return std::to_string(reached) + " of " + std::to_string(total_) +
           (unit_ == TicketUnit::Pages ? " pages were sent." : " tickets were sent.");
}

bool PrintStream::send(std::string_view ticket, MessageBox& messages)
{
    if (progress_ && progress_->cancelled()) {
        messages.show("Printing cancelled: " + countLine(), MessageIcon::None);
        destination_.reset();
        return false;
    }
    try {
        destination_->write(ticket);
    } catch (const PrinterError& error) {
        fail(error, messages);
        return false;
    }
    bytesSent_ += ticket.size();
    ticketEnds_.push_back(bytesSent_);
    while (ticketEnds_.front() + unsettledWindow < bytesSent_) {
        ticketEnds_.pop_front();
        ++settled_;
    }
    if (progress_)
        progress_->ticketSent();
    return true;
}

void PrintStream::stop(const std::string& text, MessageIcon icon, MessageBox& messages)
{
    messages.show(text + "\n" + countLine(), icon);
    destination_.reset();
}

bool PrintStream::finish(MessageBox& messages)
{
    try {
        destination_->finish();
    } catch (const PrinterError& error) {
        fail(error, messages);
        return false;
    }
    return true;
}

void PrintStream::fail(const PrinterError& error, MessageBox& messages)
{
    const std::string& text =
        error.operatorText().empty() ? printerNotAvailable(printer_.pname) : error.operatorText();
    messages.show(text + "\n" + countLine(destination_->unconfirmedBytes()), MessageIcon::None);
    destination_.reset();
}

std::optional<std::string> PrintStream::takePreview()
{
    return destination_ ? destination_->takeCapture() : std::nullopt;
}
