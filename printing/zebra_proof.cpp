#include "printing/zebra_proof.h"

#include <algorithm>

namespace {

// More than any status answer and the odd byte besides: a printer that
// sends this much without a whole answer is not answering ~HS.
constexpr std::size_t answerRoom = 4096;

std::int64_t formatsIn(std::string_view ticket)
{
    std::int64_t count = 0;
    for (auto at = ticket.find("^XZ"); at != std::string_view::npos; at = ticket.find("^XZ", at + 3))
        ++count;
    return count;
}

}  // namespace

void PrintedProof::written(std::string_view ticket)
{
    const std::int64_t formats = formatsIn(ticket);
    // Nothing the printer says can place a ticket without a label format.
    givenUp_ = givenUp_ || formats == 0;
    formats_ += formats;
    unprovenEnds_.push_back(formats_);
    ++tickets_;
}

void PrintedProof::asked(Clock::time_point at)
{
    pending_.push_back(Request{formats_, tickets_, at});
    askedAfter_ = tickets_;
    requestBytes_ += hostStatusRequest.size();
}

void PrintedProof::received(std::string_view bytes)
{
    if (givenUp_ || bytes.empty())
        return;
    incoming_.append(bytes);
    // An answer starts with STX: what comes before one is no part of it.
    incoming_.erase(0, std::min(incoming_.find('\x02'), incoming_.size()));
    while (const std::size_t length = hostStatusLength(incoming_)) {
        answered(std::string_view(incoming_).substr(0, length));
        incoming_.erase(0, length);
        if (givenUp_)
            return;
    }
    if (incoming_.size() > answerRoom)
        givenUp_ = true;
}

void PrintedProof::answered(std::string_view answer)
{
    // An answer nobody asked for (one a request before the run gave up on)
    // cannot be placed in the stream.
    if (pending_.empty()) {
        givenUp_ = true;
        return;
    }
    const Request request = pending_.front();
    pending_.pop_front();
    ++answers_;
    const std::optional<ZebraStatus> status = parseHostStatus(answer);
    const std::optional<ZebraBuffer> buffer = parseHostBuffer(answer);
    if (!status || !buffer) {
        givenUp_ = true;
        return;
    }
    if (!faultsInWords(*status).empty())
        return;
    lastBuffer_ = buffer;
    const bool busy = buffer->labelsRemaining > 0 || buffer->partialFormat;
    const std::int64_t printedFormats = request.formatsBefore - buffer->formats - (busy ? 1 : 0);
    while (printed_ < request.ticketsBefore && !unprovenEnds_.empty() && unprovenEnds_.front() <= printedFormats) {
        unprovenEnds_.pop_front();
        ++printed_;
    }
}
