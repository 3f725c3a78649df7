// A device or file path. Opened non-blocking, so that a FIFO or a device
// with nobody at the other end cannot hold the run: opening retries until
// the open time-out, and every write waits at most the stall time-out.
// A path under /dev is a device: one that is not there is not available, and
// never created as a file.

#include "printing/printer_destination.h"
#include "printing/printer_readiness.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
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

// Why a write failed, in the operator's words.
std::string writeReason(int error)
{
    if (error == EPIPE)
        return "No program reads from it any more.";
    return systemReason(error);
}

// Why opening failed, in the operator's words: a FIFO that nobody read in
// time, or the system's words.
std::string openReason(const std::string& path, int error, std::chrono::milliseconds openTimeout)
{
    struct stat status {};
    if (error == ENXIO && ::stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode))
        return "No program read from it within " + durationInWords(openTimeout) + ".";
    return systemReason(error);
}

// Whether path names a device: one that is not there is never created as a file.
bool isDevice(const std::string& path)
{
    return std::filesystem::path(path).lexically_normal().string().starts_with("/dev/");
}

// Opens path with flags, retrying while a FIFO or device may come up until
// the open time-out; throws PrinterError.
int openInTime(const std::string& path, int flags, const DestinationLimits& limits, const std::stop_token& stop)
{
    if (path.empty())
        throw PrinterError("no printer named", "No printer is named.");
    const auto deadline = std::chrono::steady_clock::now() + limits.openTimeout;
    for (;;) {
        const int fd = ::open(path.c_str(), flags | O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
        if (fd >= 0)
            return fd;
        const int error = errno;
        // ENXIO: a FIFO without a reader, or a device that is not there yet.
        const bool mayComeUp = error == ENXIO || error == EAGAIN || error == EINTR;
        if (!mayComeUp || std::chrono::steady_clock::now() >= deadline)
            throw PrinterError(systemError("open " + path, error), openReason(path, error, limits.openTimeout));
        if (stop.stop_requested())
            throw stopped();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

class PathDestination : public PrinterDestination {
public:
    PathDestination(int fd, std::chrono::milliseconds stallTimeout, std::stop_token stop)
        : fd_(fd), stallTimeout_(stallTimeout), stop_(std::move(stop))
    {
    }
    ~PathDestination() override { closeFd(); }

    std::size_t write(std::string_view bytes, const PrinterWait& wait) override
    {
        const SigpipeBlocked noSignal;
        const std::size_t size = bytes.size();
        auto deadline = std::chrono::steady_clock::now() + stallTimeout_;
        while (!bytes.empty()) {
            const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
            if (written > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(written));
                written_ += static_cast<std::uint64_t>(written);
                deadline = std::chrono::steady_clock::now() + stallTimeout_;
                if (wait.acknowledged)
                    wait.acknowledged();
                continue;
            }
            if (written < 0 && errno == EINTR)
                continue;
            if (const int error = errno; written < 0 && error != EAGAIN)
                throw PrinterError(systemError("write", error), writeReason(error));
            if (wait.cancelled && wait.cancelled())
                break;
            // Looked at in slices, so that Cancel is seen while the device waits.
            const auto slice = std::min(deadline, std::chrono::steady_clock::now() + stopPoll);
            if (!waitFor(fd_, POLLOUT, slice, stop_) && stop_.stop_requested())
                throw stopped();
            if (std::chrono::steady_clock::now() >= deadline)
                throw PrinterError("no byte accepted for " + std::to_string(stallTimeout_.count()) + " ms",
                                   tookNothingFor(stallTimeout_));
        }
        return size - bytes.size();
    }

    std::uint64_t acknowledgedBytes() const override { return written_; }

    void finish(const PrinterWait&) override
    {
        if (!closeFd()) {
            const int error = errno;
            throw PrinterError(systemError("close", error), systemReason(error));
        }
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
    std::stop_token stop_;
    std::uint64_t written_ = 0;
};

}  // namespace

std::unique_ptr<PrinterDestination> openPath(const std::string& path, const DestinationLimits& limits,
                                             std::stop_token stop)
{
    const int create = isDevice(path) ? 0 : O_CREAT;
    const int fd = openInTime(path, create | O_TRUNC, limits, stop);
    return std::make_unique<PathDestination>(fd, limits.stallTimeout, stop);
}

}  // namespace destinations

void checkPathOpens(const std::string& path, const DestinationLimits& limits, std::stop_token stop)
{
    struct stat status {};
    if (!path.empty() && !destinations::isDevice(path) && ::stat(path.c_str(), &status) != 0 && errno == ENOENT) {
        // Printing would create the file: its folder must let it.
        const std::filesystem::path folder = std::filesystem::path(path).parent_path();
        if (::faccessat(AT_FDCWD, folder.empty() ? "." : folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
            const int error = errno;
            throw PrinterError(destinations::systemError("create " + path, error), destinations::systemReason(error));
        }
        return;
    }
    ::close(destinations::openInTime(path, 0, limits, stop));
}
