#pragma once
// A Zebra printer on 127.0.0.1 for the benchmarks: it answers every ~HS
// healthy, its buffer empty (or, as a printer whose status has no counts,
// with none that can be read), and reads every job as fast as it can, one
// connection after another; or,
// given a rate, no faster than that, with a small receive window and
// Ethernet's segment size, as a label printer on the plant's network takes
// a job. It notes when each job's first and last bytes came.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class DiscardingPrinter {
public:
    using Clock = std::chrono::steady_clock;

    struct Job {
        Clock::time_point firstByte, lastByte;
        std::size_t bytes = 0;
    };

    enum class Status { WithCounts, WithoutCounts };

    explicit DiscardingPrinter(std::size_t bytesPerSecond = 0, Status status = Status::WithCounts)
        : bytesPerSecond_(bytesPerSecond), status_(status)
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bytesPerSecond_ > 0) {
            const int window = 8192;
            const int segment = 1460;
            ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
            ::setsockopt(listener_, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~DiscardingPrinter()
    {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    DiscardingPrinter(const DiscardingPrinter&) = delete;
    DiscardingPrinter& operator=(const DiscardingPrinter&) = delete;

    std::string address() const { return "socket://127.0.0.1:" + std::to_string(port_); }
    double lastJobBytes() const { return static_cast<double>(lastJob_); }
    double lastJobStatusRequests() const { return static_cast<double>(lastJobRequests_); }

    std::size_t jobsEnded() const
    {
        const std::lock_guard lock(mutex_);
        return jobs_.size();
    }

    // The index-th job (from 0) once its connection has closed; nothing if
    // it has not within timeout.
    std::optional<Job> job(std::size_t index, std::chrono::milliseconds timeout) const
    {
        std::unique_lock lock(mutex_);
        if (!ended_.wait_for(lock, timeout, [&] { return jobs_.size() > index; }))
            return std::nullopt;
        return jobs_[index];
    }

private:
    void serve()
    {
        const std::string healthy = status_ == Status::WithCounts
                                        ? "\x02" "030,0,0,1245,000,0,0,0,000,0,0,0\x03\r\n"
                                          "\x02" "001,0,0,0,1,2,6,0,00000000,1,000\x03\r\n"
                                          "\x02" "1234,0\x03\r\n"
                                        : "\x02" "030,0,0,1245,---,0,0,0,000,0,0,0\x03\r\n"
                                          "\x02" "001,0,0,0,1,2,6,0,--------,1,000\x03\r\n"
                                          "\x02" "1234,0\x03\r\n";
        while (!stop_) {
            pollfd entry{listener_, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0)
                continue;
            const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                continue;
            Job job;
            std::size_t requests = 0;
            char buffer[65536 + 2];
            std::size_t carried = 0;  // the last two bytes of the read before, where a request may start
            const auto began = Clock::now();
            for (ssize_t got; (got = ::recv(connection, buffer + carried, bytesPerSecond_ ? 1024 : 65536, 0)) > 0;) {
                if (job.bytes == 0)
                    job.firstByte = Clock::now();
                const std::string_view read(buffer, carried + static_cast<std::size_t>(got));
                for (auto at = read.find("~HS"); at != std::string_view::npos; at = read.find("~HS", at + 3)) {
                    ::send(connection, healthy.data(), healthy.size(), MSG_NOSIGNAL);
                    ++requests;
                }
                carried = std::min<std::size_t>(2, read.size());
                std::copy(read.end() - static_cast<std::ptrdiff_t>(carried), read.end(), buffer);
                job.bytes += static_cast<std::size_t>(got);
                job.lastByte = Clock::now();
                if (bytesPerSecond_ && !stop_)
                    std::this_thread::sleep_until(began + std::chrono::duration<double>(
                                                              static_cast<double>(job.bytes) / bytesPerSecond_));
            }
            lastJob_ = job.bytes;
            lastJobRequests_ = requests;
            ::close(connection);
            {
                const std::lock_guard lock(mutex_);
                jobs_.push_back(job);
            }
            ended_.notify_all();
        }
    }

    std::size_t bytesPerSecond_;
    Status status_;
    std::atomic<std::size_t> lastJobRequests_{0};
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> lastJob_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable ended_;
    std::vector<Job> jobs_;  // guarded by mutex_
    std::thread thread_;
};
