// A device or file path. Opened non-blocking, so that a FIFO or a device
// with nobody at the other end cannot hold the run: opening retries until
// the open time-out, and every write waits at most the stall time-out.

#include "printing/printer_destination.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <csignal>
#include <ctime>
#include <poll.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace destinations {
namespace {

// A FIFO whose reader has gone raises SIGPIPE on write, which would end the
// program: the signal is blocked on this thread while writing, and one that
// the write raised is taken off again, so that only EPIPE remains.
class SigpipeBlocked {
public:
    SigpipeBlocked()
    {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    }
    ~SigpipeBlocked()
    {
        const timespec now{0, 0};
        while (sigtimedwait(&pipe_, nullptr, &now) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeBlocked(const SigpipeBlocked&) = delete;
    SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

private:
    sigset_t pipe_;
    sigset_t previous_;
};

class PathDestination : public PrinterDestination {
public:
    PathDestination(int fd, std::chrono::milliseconds stallTimeout) : fd_(fd), stallTimeout_(stallTimeout) {}
    ~PathDestination() override { closeFd(); }

    void write(std::string_view bytes) override
    {
        const SigpipeBlocked noSignal;
        auto deadline = std::chrono::steady_clock::now() + stallTimeout_;
        while (!bytes.empty()) {
            const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
            if (written > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(written));
                written_ += static_cast<std::uint64_t>(written);
                deadline = std::chrono::steady_clock::now() + stallTimeout_;
                continue;
            }
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0 && errno != EAGAIN)
                throw PrinterError(systemError("write"));
            if (!waitFor(fd_, POLLOUT, deadline))
                throw PrinterError("no byte accepted for " +
                                   std::to_string(stallTimeout_.count()) + " ms");
        }
    }

    std::uint64_t confirmedBytes() const override { return written_; }

    void finish() override
    {
        if (!closeFd())
            throw PrinterError(systemError("close"));
    }

private:
    bool closeFd()
    {
        if (fd_ < 0)
            return true;
        const int fd = fd_;
        fd_ = -1;
        // After close() fails with EINTR the descriptor is already released
        // on Linux, so it is not retried.
        return ::close(fd) == 0;
    }

    int fd_;
    std::chrono::milliseconds stallTimeout_;
    std::uint64_t written_ = 0;
};

}  // namespace

std::unique_ptr<PrinterDestination> openPath(const std::string& path, const DestinationLimits& limits)
{
    if (path.empty())
        throw PrinterError("no printer named");
    const auto deadline = std::chrono::steady_clock::now() + limits.openTimeout;
    for (;;) {
        const int fd = ::open(path.c_str(),
                              O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
        if (fd >= 0)
            return std::make_unique<PathDestination>(fd, limits.stallTimeout);
        // ENXIO: a FIFO without a reader, or a device that is not there yet.
        const bool mayComeUp = errno == ENXIO || errno == EAGAIN || errno == EINTR;
        if (!mayComeUp || std::chrono::steady_clock::now() >= deadline)
            throw PrinterError(systemError("open " + path));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace destinations
