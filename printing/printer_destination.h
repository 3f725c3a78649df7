#pragma once
// Where printer output goes, as PRINTER= in travcard.cfg names it:
//   socket://HOST[:PORT]   raw TCP (port 9100 when left out), as print servers drive label printers
//   cups:QUEUE             one raw job on a CUPS queue
//   preview:               kept in memory and handed back, for the window to show
//   anything else          a device or file path, opened for writing
// Every call to the outside world is bounded by the time-outs of
// DestinationLimits; a destination that cannot be reached or written throws
// PrinterError. So does one whose stop token is set while it waits for the
// printer: a network printer's connection is then reset, so that the bytes
// of a ticket still queued never print.

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <stdexcept>
#include <string>
#include <string_view>

struct DestinationLimits {
    // A FIFO or device with nobody at the other end: how long opening retries.
    std::chrono::milliseconds openTimeout{2000};
    std::chrono::milliseconds connectTimeout{5000};
    // A write that accepts no byte for this long ends the run.
    std::chrono::milliseconds stallTimeout{30000};
    // After the last byte, how long a network printer may take to close.
    std::chrono::milliseconds closeWait{3000};
    // How long a Zebra printer may take to answer its status request.
    std::chrono::milliseconds statusTimeout{2500};
    std::size_t previewCap = std::size_t{256} << 20;
};

// The outside world refused: the printer cannot be reached, or stopped
// taking bytes. what() holds the detail; reason() says why in the
// operator's words, one short sentence such as "Connection refused.", which
// follows the not-available message on a line of its own.
class PrinterError : public std::runtime_error {
public:
    explicit PrinterError(const std::string& detail, std::string reason = {})
        : std::runtime_error(detail), reason_(std::move(reason))
    {
    }
    // An error whose operatorText replaces the not-available message and its reason.
    static PrinterError replacingMessage(const std::string& detail, std::string operatorText)
    {
        PrinterError error(detail);
        error.operatorText_ = std::move(operatorText);
        return error;
    }
    const std::string& reason() const { return reason_; }
    const std::string& operatorText() const { return operatorText_; }

private:
    std::string reason_;
    std::string operatorText_;
};

// What a destination looks at, and tells, while it waits for the printer.
struct PrinterWait {
    // The operator's wish to stop: a write that waits for the printer
    // returns early, with what it has handed on so far.
    std::function<bool()> cancelled;
    // Called as the printer acknowledges more of the job.
    std::function<void()> acknowledged;
};

class PrinterDestination {
public:
    virtual ~PrinterDestination() = default;  // an unfinished job is abandoned

    // Hands bytes on and returns how many: all of them, unless
    // wait.cancelled() turned true while the printer made it wait. A network
    // printer never holds more than inFlight bytes it has not acknowledged,
    // so that a write waits for the printer, not for this station's kernel.
    // Throws PrinterError when the printer fails, stalls or the run is given up.
    virtual std::size_t write(std::string_view bytes, const PrinterWait& wait = {}) = 0;

    // Completes the job: waits until the printer has acknowledged all of it
    // (telling wait.acknowledged), then closes or submits; throws
    // PrinterError. A cancelled run's job is completed too, with the whole
    // tickets it was given, without waiting for the printer to close.
    virtual void finish(const PrinterWait& wait = {}) = 0;

    // How many bytes of the job, counted from its first write, the printer
    // is known to have taken, at any time, also after a failure: those a
    // network printer's TCP acknowledged, those a device or file accepted,
    // and of a spooled job nothing until the spooler has completed it
    // (abandoning it before its document is whole cancels it). A network printer may still lose
    // acknowledged bytes it had not printed when it resets; how many cannot
    // be told from this side.
    virtual std::uint64_t acknowledgedBytes() const = 0;

    // The spooler's id of the job (a CUPS job id), 0 for a printer without
    // a spooler: the job confirms its tickets once the spooler completes it,
    // which may be after the run ended.
    virtual int spoolJob() const { return 0; }

    // Whether what the printer acknowledged is kept whatever comes after.
    // Not so for a network printer: one that resets or drops the connection
    // drops what it had taken and not printed, so what it acknowledged
    // counts as taken only once the connection has ended in order (this
    // side shut its sending, the printer read everything and closed).
    virtual bool keepsWhatItAcknowledges() const { return true; }

    // Waits until bytes more can be handed on without waiting for the
    // printer (a network printer holds no more than inFlight unacknowledged
    // bytes): so that tickets are recorded as sending only once they can
    // leave at once. Returns early when wait.cancelled(); throws
    // PrinterError as write does.
    virtual void awaitRoom(std::size_t /*bytes*/, const PrinterWait& /*wait*/) {}

    // A two-way connection can carry a status request: sends request and
    // returns what arrived until complete(received) or timeout.
    virtual bool answersRequests() const { return false; }
    virtual std::string request(std::string_view request,
                                const std::function<bool(std::string_view)>& complete,
                                std::chrono::milliseconds timeout);

    // A short request (~HS) sent between two tickets of the job, without
    // waiting: false when the connection cannot take it now (ask later).
    // Its bytes are not the job's. Throws PrinterError when the connection
    // failed.
    virtual bool sendAside(std::string_view /*request*/) { return false; }
    // What the printer sent since the last call, read without waiting.
    virtual std::string takeReceived() { return {}; }
    // Waits until the printer sends something, or until; returns early
    // when the run is given up.
    virtual void awaitIncoming(std::chrono::steady_clock::time_point /*until*/) {}
    // Whether the printer closed or reset the connection: nothing more is
    // asked or answered on it.
    virtual bool broken() const { return false; }

    // The bytes a preview destination kept, once finished.
    virtual std::optional<std::string> takeCapture() { return std::nullopt; }

    // The most a network printer holds unacknowledged: about a batch, so
    // that Stop and the count follow the printer within seconds even when it
    // takes 8 KB/s.
    static constexpr std::size_t inFlight = 64 * 1024;
};

// Opens the destination that name stands for; throws PrinterError when it
// cannot be opened or reached.
std::unique_ptr<PrinterDestination> openDestination(const std::string& name, const DestinationLimits& limits,
                                                    std::stop_token stop = {});

// What the operator is told when the printer cannot be opened or written:
// "The printer NAME is not available.", then the reason, when known, on
// the next line.
std::string printerNotAvailable(const std::string& printer, const std::string& reason = {});
// The same for error: its operator text when it has one.
std::string printerNotAvailable(const std::string& printer, const PrinterError& error);

// The internal makers, one per kind of destination.
namespace destinations {
std::unique_ptr<PrinterDestination> openPath(const std::string& path, const DestinationLimits& limits,
                                             std::stop_token stop);
std::unique_ptr<PrinterDestination> openSocket(std::string_view hostAndPort, const DestinationLimits& limits,
                                               std::stop_token stop);
std::unique_ptr<PrinterDestination> openCupsQueue(const std::string& queue, const DestinationLimits& limits,
                                                  std::stop_token stop);
std::unique_ptr<PrinterDestination> openPreview(const DestinationLimits& limits);

// "what: " and the system's words for error (errno unless given).
std::string systemError(const std::string& what, int error = errno);

// The system's words for error as an operator's sentence: "Permission denied."
std::string systemReason(int error);

// A time limit in words: "30 seconds", "1 second", "300 milliseconds".
std::string durationInWords(std::chrono::milliseconds duration);

// The reason of a printer that takes no byte for the stall time-out.
std::string tookNothingFor(std::chrono::milliseconds stallTimeout);

// Waits for fd to become ready for events until deadline; false on time-out,
// and when stop is set (looked at every stopPoll).
bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline, std::stop_token stop = {});
inline constexpr std::chrono::milliseconds stopPoll{50};

// What a destination throws when its stop token was set.
PrinterError stopped();
}  // namespace destinations
