// socket://HOST[:PORT]: raw TCP, the way print servers drive label printers.
// The socket is non-blocking throughout, so that connecting, writing and
// waiting for the printer to close are each bounded; MSG_NOSIGNAL turns a
// closed peer into an error instead of SIGPIPE.

#include "printing/printer_destination.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace destinations {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* defaultPort = "9100";

// Why a connection failed or broke, in the operator's words.
std::string connectionReason(int error)
{
    if (error == ECONNRESET || error == EPIPE)
        return "The printer reset the connection.";
    if (error == ETIMEDOUT)
        return "The connection to the printer timed out.";
    return systemReason(error);
}

struct HostAndPort {
    std::string host;
    std::string port;
};

// HOST, HOST:PORT, [V6ADDRESS] or [V6ADDRESS]:PORT; a trailing slash is allowed.
HostAndPort splitAddress(std::string_view text)
{
    if (text.ends_with('/'))
        text.remove_suffix(1);
    HostAndPort address{std::string(text), defaultPort};
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos)
            throw PrinterError("unclosed [ in the printer address", "The printer address has a [ without its ].");
        address.host = std::string(text.substr(1, close - 1));
        if (close + 1 < text.size() && text[close + 1] == ':')
            address.port = std::string(text.substr(close + 2));
        return address;
    }
    const auto colon = text.rfind(':');
    if (colon != std::string_view::npos && text.find(':') == colon) {
        address.host = std::string(text.substr(0, colon));
        address.port = std::string(text.substr(colon + 1));
    }
    if (address.host.empty() || address.port.empty())
        throw PrinterError("no host or port in the printer address", "The printer address names no host or no port.");
    return address;
}

// The send queue is held to PrinterDestination::inFlight bytes, counted
// by SIOCOUTQ (unsent and unacknowledged alike) before each send, which is
// capped to the room left. The socket's send buffer is set to inFlight (the
// kernel doubles it): it counts buffer memory, not bytes, and at half that
// it held only about 55 KB of data, so a ticket the count had room for could
// stop part-way in the kernel's buffer, marked as sending and half sent.
class SocketDestination : public PrinterDestination {
public:
    SocketDestination(int fd, const DestinationLimits& limits, std::stop_token stop)
        : fd_(fd), limits_(limits), stop_(std::move(stop)), ackedAtConnect_(connectionAcknowledged())
    {
        const int sendBuffer = static_cast<int>(inFlight);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        // Sends of 8 KB, without Nagle's delay, keep several segments in
        // flight rather than one of loopback's 64 KB: a receiver
        // acknowledges every second segment at once but delays the
        // acknowledgement of a lone one, and the bound would wait for it.
        const int noDelay = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    }
    ~SocketDestination() override
    {
        if (fd_ < 0)
            return;
        // An abandoned job is reset rather than closed: bytes still queued
        // must not reach the printer later, after the run has reported them
        // as not sent. (Unread bytes from the printer would reset it anyway.)
        const linger reset{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd_);
    }

    std::size_t write(std::string_view bytes, const PrinterWait& wait) override
    {
        return sendBounded(bytes, true, &wait);
    }

    std::uint64_t acknowledgedBytes() const override
    {
        if (fd_ >= 0 && !failed_)
            acknowledged_ = std::max(acknowledged_, jobBytesAcknowledged());
        return acknowledged_;
    }

    // Ends the sending side, waits until the printer has acknowledged the
    // whole job (for as long as it keeps acknowledging), then lets it close;
    // one that keeps the connection open is left after closeWait, and a
    // cancelled run does not wait for that at all. Until the job is
    // acknowledged it is not done: a printer out of paper has not taken what
    // still waits in the send queue.
    void finish(const PrinterWait& wait) override
    {
        reckonAcknowledged();
        if (::shutdown(fd_, SHUT_WR) != 0) {
            const int error = errno;
            failWrite(systemError("shutdown", error), connectionReason(error));
        }
        bool connected = awaitAcknowledgement(wait);
        acknowledged_ = jobSent_;
        tell(wait);
        const auto deadline = Clock::now() + limits_.closeWait;
        while (connected && !(wait.cancelled && wait.cancelled()) && waitFor(fd_, POLLIN, deadline))
            connected = discardIncoming();
        // Unread bytes from the printer would turn the close into a reset,
        // which may make it drop what it holds unprinted.
        char discard[512];
        while (connected && ::recv(fd_, discard, sizeof discard, MSG_DONTWAIT) > 0) {
        }
        ::close(fd_);
        fd_ = -1;
    }

    bool answersRequests() const override { return true; }
    bool keepsWhatItAcknowledges() const override { return false; }

    void awaitRoom(std::size_t bytes, const PrinterWait& wait) override
    {
        const std::uint64_t wanted = std::min<std::uint64_t>(bytes, inFlight);
        auto deadline = Clock::now() + limits_.stallTimeout;
        std::uint64_t waiting = queued();
        while (waiting != std::numeric_limits<std::uint64_t>::max() && inFlight - std::min<std::uint64_t>(waiting, inFlight) < wanted) {
            if (stop_.stop_requested())
                failWrite(stopped());
            if (wait.cancelled && wait.cancelled())
                return;
            failOnPendingError();
            const auto now = Clock::now();
            if (now >= deadline)
                failWrite("no byte acknowledged for " + std::to_string(limits_.stallTimeout.count()) + " ms",
                          tookNothingFor(limits_.stallTimeout));
            std::this_thread::sleep_until(std::min(deadline, now + std::chrono::milliseconds(1)));
            if (const std::uint64_t left = queued(); left < waiting) {
                deadline = Clock::now() + limits_.stallTimeout;
                tell(wait);
                waiting = left;
            }
        }
    }

    std::string request(std::string_view request, const std::function<bool(std::string_view)>& complete,
                        std::chrono::milliseconds timeout) override
    {
        const auto deadline = Clock::now() + timeout;
        std::string received;
        sendBounded(request, false, nullptr);
        char buffer[512];
        while (!complete(received) && waitFor(fd_, POLLIN, deadline, stop_)) {
            const ssize_t count = ::recv(fd_, buffer, sizeof buffer, 0);
            if (count == 0)
                break;
            if (count < 0) {
                const int error = errno;
                if (error == EINTR || error == EAGAIN)
                    continue;
                throw PrinterError(systemError("recv", error), connectionReason(error));
            }
            received.append(buffer, static_cast<std::size_t>(count));
            if (received.size() > 64 * 1024)
                break;  // no status is that long
        }
        return received;
    }

    bool sendAside(std::string_view request) override
    {
        if (failed_)
            return false;
        const std::uint64_t start = streamSent_;
        const ssize_t sent = ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)
                return false;
            failWrite(systemError("send", error), connectionReason(error));
        }
        asides_.push_back({start, request.size()});
        streamSent_ += static_cast<std::uint64_t>(sent);
        // Rarely the kernel takes part of it: the rest follows at once, so
        // that no ticket's byte falls inside the request.
        if (static_cast<std::size_t>(sent) < request.size())
            sendBounded(request.substr(static_cast<std::size_t>(sent)), false, nullptr, false);
        return true;
    }

    std::string takeReceived() override
    {
        std::string received;
        char buffer[512];
        while (fd_ >= 0 && !printerClosed_) {
            const ssize_t count = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (count > 0) {
                received.append(buffer, static_cast<std::size_t>(count));
                continue;
            }
            if (count < 0 && errno == EINTR)
                continue;
            // A closed side reads nothing more; a reset read here is no longer
            // the socket's error, so it is kept for the next write to report.
            if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                receiveError_ = errno;
            printerClosed_ = count == 0 || receiveError_ != 0;
            break;
        }
        return received;
    }

    bool broken() const override { return fd_ < 0 || printerClosed_ || failed_; }

    void awaitIncoming(Clock::time_point until) override
    {
        if (fd_ < 0 || printerClosed_ || failed_)
            std::this_thread::sleep_until(std::min(until, Clock::now() + stopPoll));
        else
            waitFor(fd_, POLLIN, until, stop_);
    }

private:
    // How often a wait looks whether the printer acknowledged more.
    static constexpr std::chrono::milliseconds acknowledgementPoll{20};

    void tell(const PrinterWait& wait) const
    {
        if (wait.acknowledged)
            wait.acknowledged();
    }

    // Waits until the send queue is empty, also of the end of the job; a
    // printer that acknowledges nothing for stallTimeout ends the run. False
    // when the printer closed its side first: it still acknowledges what it
    // takes, so the wait goes on without reading.
    bool awaitAcknowledgement(const PrinterWait& wait)
    {
        auto deadline = Clock::now() + limits_.stallTimeout;
        bool printerClosed = false;
        for (std::uint64_t left = queued(); left > 0;) {
            if (stop_.stop_requested())
                failWrite(stopped());
            const auto now = Clock::now();
            if (now >= deadline)
                failWrite("no byte acknowledged for " + std::to_string(limits_.stallTimeout.count()) + " ms",
                          tookNothingFor(limits_.stallTimeout));
            const auto nextLook = std::min(deadline, now + acknowledgementPoll);
            if (printerClosed) {
                // A reset after the printer's FIN reads nothing: it shows as the socket's error.
                failOnPendingError();
                std::this_thread::sleep_until(nextLook);
            }
            else if (waitFor(fd_, POLLIN, nextLook) && !discardIncoming())
                printerClosed = true;
            const std::uint64_t stillLeft = queued();
            if (stillLeft < left) {
                deadline = Clock::now() + limits_.stallTimeout;
                tell(wait);
            }
            left = stillLeft;
        }
        return !printerClosed;
    }

    // Reads and drops what the printer sent; false once it has closed.
    bool discardIncoming()
    {
        char discard[512];
        const ssize_t received = ::recv(fd_, discard, sizeof discard, 0);
        if (const int error = errno; received < 0 && error != EINTR && error != EAGAIN)
            failWrite(systemError("recv", error), connectionReason(error));
        return received != 0;
    }

    // A reset leaves its bytes counted in the send queue, so that no send is
    // tried that would read the error: it is read here while the queue is full.
    void failOnPendingError()
    {
        if (receiveError_ != 0)
            failWrite(systemError("recv", receiveError_), connectionReason(receiveError_));
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0)
            failWrite(systemError("send", error), connectionReason(error));
    }

    // The bytes in the send queue the printer has not acknowledged; all of
    // them, as far as is known, when the queue cannot be read.
    std::uint64_t queued() const
    {
        int count = 0;
        if (::ioctl(fd_, SIOCOUTQ, &count) != 0)
            return std::numeric_limits<std::uint64_t>::max();
        return count > 0 ? static_cast<std::uint64_t>(count) : 0;
    }

    // Hands bytes to the connection while fewer than inFlight wait in its
    // send queue; returns how many, all unless wait says the operator
    // cancelled while the printer made it wait. Throws PrinterError.
    std::size_t sendBounded(std::string_view bytes, bool partOfJob, const PrinterWait* wait, bool newRequest = true)
    {
        if (!partOfJob && newRequest)
            asides_.push_back({streamSent_, bytes.size()});
        std::size_t accepted = 0;
        auto deadline = Clock::now() + limits_.stallTimeout;
        std::uint64_t acknowledged = partOfJob ? acknowledgedBytes() : 0;
        while (accepted < bytes.size()) {
            if (stop_.stop_requested())
                failWrite(stopped());
            reckonAcknowledged();
            const std::uint64_t waiting = queued();
            if (waiting < inFlight) {
                const std::size_t room =
                    std::min<std::uint64_t>({inFlight - waiting, bytes.size() - accepted, inFlight / 8});
                const ssize_t sent = ::send(fd_, bytes.data() + accepted, room, MSG_NOSIGNAL);
                if (sent > 0) {
                    accepted += static_cast<std::size_t>(sent);
                    streamSent_ += static_cast<std::uint64_t>(sent);
                    jobSent_ += partOfJob ? static_cast<std::uint64_t>(sent) : 0;
                    deadline = Clock::now() + limits_.stallTimeout;
                    continue;
                }
                if (sent < 0 && errno == EINTR)
                    continue;
                if (const int error = errno; sent < 0 && error != EAGAIN && error != EWOULDBLOCK)
                    failWrite(systemError("send", error), connectionReason(error));
            } else {
                failOnPendingError();
            }
            if (wait && wait->cancelled && wait->cancelled())
                return accepted;
            const auto now = Clock::now();
            if (now >= deadline)
                failWrite("no byte accepted for " + std::to_string(limits_.stallTimeout.count()) + " ms",
                          tookNothingFor(limits_.stallTimeout));
            // The kernel's buffer frees room as acknowledgements come; should
            // the count stay at the limit though the buffer has room, look
            // again shortly.
            const auto nextLook = std::min(deadline, now + acknowledgementPoll);
            if (waitFor(fd_, POLLOUT, nextLook, stop_) && queued() >= inFlight)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (const std::uint64_t latest = partOfJob ? acknowledgedBytes() : 0; latest > acknowledged) {
                acknowledged = latest;
                deadline = Clock::now() + limits_.stallTimeout;
                if (wait)
                    tell(*wait);
            }
        }
        return accepted;
    }

    // How many bytes of the job, from its first, the printer acknowledged:
    // those of the stream less the requests among them.
    std::uint64_t jobBytesAcknowledged() const
    {
        std::uint64_t stream = reckonedAcknowledged_;
        if (const auto acknowledged = connectionAcknowledged(); acknowledged && ackedAtConnect_)
            stream = *acknowledged - std::min(*acknowledged, *ackedAtConnect_);
        std::uint64_t requests = acknowledgedAsides_;
        for (const Aside& aside : asides_)
            if (aside.start < stream)
                requests += std::min<std::uint64_t>(aside.length, stream - aside.start);
        while (!asides_.empty() && asides_.front().start + asides_.front().length <= stream) {
            acknowledgedAsides_ += asides_.front().length;
            asides_.pop_front();
        }
        // The FIN that finish() sends is acknowledged too: clamp to job bytes.
        return std::min(stream - std::min(stream, requests), jobSent_);
    }

    // The bytes the printer acknowledged since the connection opened (its
    // SYN among them), as the kernel counts them; the figure outlasts a
    // reset. None where the kernel does not count them (before Linux 4.2).
    std::optional<std::uint64_t> connectionAcknowledged() const
    {
        tcp_info info{};
        socklen_t length = sizeof info;
        if (::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
            length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
            return std::nullopt;
        return info.tcpi_bytes_acked;
    }

    // Without the kernel's count: the bytes sent less those still queued,
    // taken before each send while the connection stands. A reading taken
    // once it has failed is not trusted.
    void reckonAcknowledged()
    {
        if (ackedAtConnect_)
            return;
        const std::uint64_t unacknowledged = queued();
        pollfd entry{fd_, 0, 0};
        if (::poll(&entry, 1, 0) != 0)
            return;  // an error or hang-up: the connection is gone
        const std::uint64_t acknowledged = streamSent_ - std::min(streamSent_, unacknowledged);
        reckonedAcknowledged_ = std::max(reckonedAcknowledged_, acknowledged);
    }

    [[noreturn]] void failWrite(const std::string& detail, const std::string& reason)
    {
        failWrite(PrinterError(detail, reason));
    }
    [[noreturn]] void failWrite(const PrinterError& error)
    {
        acknowledged_ = std::max(acknowledged_, jobBytesAcknowledged());
        failed_ = true;
        throw error;
    }

    int fd_;
    DestinationLimits limits_;
    std::stop_token stop_;
    std::optional<std::uint64_t> ackedAtConnect_;
    std::uint64_t streamSent_ = 0;    // all bytes the connection took
    std::uint64_t jobSent_ = 0;       // the job's bytes among them
    // Requests in the stream (where each starts, and its length) that the
    // printer has not acknowledged whole, and the bytes of those it has.
    struct Aside {
        std::uint64_t start;
        std::size_t length;
    };
    mutable std::deque<Aside> asides_;
    mutable std::uint64_t acknowledgedAsides_ = 0;
    bool printerClosed_ = false;
    int receiveError_ = 0;  // a reset takeReceived read
    std::uint64_t reckonedAcknowledged_ = 0;
    mutable std::uint64_t acknowledged_ = 0;  // of the job, as last read
    bool failed_ = false;
};

// Connects to one address, waiting at most until deadline. The socket, or -1
// with errno set.
int connectBefore(const addrinfo& address, Clock::time_point deadline, std::stop_token stop)
{
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            address.ai_protocol);
    if (fd < 0)
        return -1;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0)
        return fd;
    int error = errno;
    if (error == EINPROGRESS) {
        if (!waitFor(fd, POLLOUT, deadline, stop)) {
            error = ETIMEDOUT;
        } else {
            socklen_t length = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
    }
    if (error == 0)
        return fd;
    ::close(fd);
    errno = error;
    return -1;
}

using Addresses = std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)>;

// getaddrinfo has no time limit of its own (a name server that does not
// answer holds it for as long as resolv.conf's retries take): the lookup runs
// on a thread of its own, which is left to end by itself when it takes
// longer than deadline.
// Why a name lookup failed, in the operator's words.
std::string lookupReason(int status, const HostAndPort& address)
{
    switch (status) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
        return "No host named " + address.host + ".";
    case EAI_SERVICE:
        return "No port named " + address.port + ".";
    case EAI_AGAIN:
        return "The host name " + address.host + " could not be looked up now.";
    default:
        return "The host name " + address.host + " could not be looked up: " + ::gai_strerror(status) + ".";
    }
}

Addresses lookUp(const HostAndPort& address, Clock::time_point deadline, std::chrono::milliseconds timeout,
                 std::stop_token stop)
{
    struct Lookup {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;  // the rest guarded by mutex
        int status = 0;
        addrinfo* found = nullptr;
        ~Lookup()
        {
            if (found)
                ::freeaddrinfo(found);
        }
    };
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host = address.host, port = address.port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int status = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
        const std::lock_guard lock(lookup->mutex);
        lookup->status = status;
        lookup->found = found;
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();
    const std::string name = address.host + ":" + address.port;
    std::unique_lock lock(lookup->mutex);
    while (!lookup->finished) {
        if (stop.stop_requested())
            throw stopped();
        if (Clock::now() >= deadline)
            throw PrinterError("cannot resolve " + name + ": no answer in time",
                               "The host name " + address.host + " could not be looked up within " +
                                   durationInWords(timeout) + ".");
        lookup->done.wait_until(lock, std::min(deadline, Clock::now() + stopPoll));
    }
    if (lookup->status != 0)
        throw PrinterError("cannot resolve " + name + ": " + ::gai_strerror(lookup->status),
                           lookupReason(lookup->status, address));
    return Addresses(std::exchange(lookup->found, nullptr), &::freeaddrinfo);
}

}  // namespace

std::unique_ptr<PrinterDestination> openSocket(std::string_view hostAndPort, const DestinationLimits& limits,
                                               std::stop_token stop)
{
    const HostAndPort address = splitAddress(hostAndPort);
    // The name lookup and the connection share one time limit.
    const auto deadline = Clock::now() + limits.connectTimeout;
    const Addresses addresses = lookUp(address, deadline, limits.connectTimeout, stop);
    int lastError = ETIMEDOUT;
    for (const addrinfo* candidate = addresses.get(); candidate; candidate = candidate->ai_next) {
        const int fd = connectBefore(*candidate, deadline, stop);
        if (fd >= 0)
            return std::make_unique<SocketDestination>(fd, limits, stop);
        if (stop.stop_requested())
            throw stopped();
        lastError = errno;
    }
    throw PrinterError(systemError("connect to " + address.host + ":" + address.port, lastError),
                       lastError == ETIMEDOUT
                           ? "The printer did not answer within " + durationInWords(limits.connectTimeout) + "."
                           : connectionReason(lastError));
}

}  // namespace destinations
