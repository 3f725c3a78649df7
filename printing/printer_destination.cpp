#include "printing/printer_destination.h"

#include <cerrno>
#include <cstring>
#include <poll.h>

std::string PrinterDestination::request(std::string_view, const std::function<bool(std::string_view)>&,
                                        std::chrono::milliseconds)
{
    throw std::logic_error("this printer destination carries no requests");
}

namespace destinations {

std::string systemError(const std::string& what, int error) { return what + ": " + std::strerror(error); }

std::string systemReason(int error)
{
    std::string words = std::strerror(error);
    if (!words.empty() && words.back() != '.')
        words += '.';
    return words;
}

std::string durationInWords(std::chrono::milliseconds duration)
{
    const long long ms = duration.count();
    if (ms % 1000 != 0)
        return std::to_string(ms) + (ms == 1 ? " millisecond" : " milliseconds");
    const long long seconds = ms / 1000;
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

std::string tookNothingFor(std::chrono::milliseconds stallTimeout)
{
    return "The printer took nothing for " + durationInWords(stallTimeout) + ".";
}

PrinterError stopped() { return PrinterError("the print run was given up", "The print run was given up."); }

bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline, std::stop_token stop)
{
    using namespace std::chrono;
    for (;;) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0 || stop.stop_requested())
            return false;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), stopPoll.count())));
        if (ready > 0)
            return true;  // also on an error or hang-up: the next call reports it
        if (ready < 0 && errno != EINTR)
            return true;
    }
}

namespace {

class PreviewDestination : public PrinterDestination {
public:
    explicit PreviewDestination(std::size_t cap) : cap_(cap) {}

    std::size_t write(std::string_view bytes, const PrinterWait&) override
    {
        if (bytes.size() > cap_ - captured_.size())
            throw PrinterError::replacingMessage(
                "preview cap of " + std::to_string(cap_) + " bytes reached",
                "The preview holds at most " + std::to_string(cap_ >> 20) + " MB of printer output; printing stopped.");
        captured_.append(bytes);
        return bytes.size();
    }
    std::uint64_t acknowledgedBytes() const override { return captured_.size(); }
    void finish(const PrinterWait&) override { finished_ = true; }
    std::optional<std::string> takeCapture() override
    {
        if (!finished_)
            return std::nullopt;
        return std::move(captured_);
    }

private:
    std::size_t cap_;
    std::string captured_;
    bool finished_ = false;
};

}  // namespace

std::unique_ptr<PrinterDestination> openPreview(const DestinationLimits& limits)
{
    return std::make_unique<PreviewDestination>(limits.previewCap);
}

}  // namespace destinations

std::unique_ptr<PrinterDestination> openDestination(const std::string& name, const DestinationLimits& limits,
                                                    std::stop_token stop)
{
    if (stop.stop_requested())
        throw destinations::stopped();
    const std::string_view view(name);
    if (view.starts_with("socket://"))
        return destinations::openSocket(view.substr(9), limits, stop);
    if (view.starts_with("cups:"))
        return destinations::openCupsQueue(name.substr(5), limits, stop);
    if (view == "preview:")
        return destinations::openPreview(limits);
    return destinations::openPath(name, limits, stop);
}

std::string printerNotAvailable(const std::string& printer, const std::string& reason)
{
    std::string text = "The printer " + printer + " is not available.";
    if (!reason.empty())
        text += "\n" + reason;
    return text;
}

std::string printerNotAvailable(const std::string& printer, const PrinterError& error)
{
    return error.operatorText().empty() ? printerNotAvailable(printer, error.reason()) : error.operatorText();
}
