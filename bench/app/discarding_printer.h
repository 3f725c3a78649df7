#pragma once
// A Zebra printer on 127.0.0.1 for the benchmarks: it answers ~HS healthy
// and reads every job as fast as it can, one connection after another; or,
// given a rate, no faster than that, with a small receive window and
// Ethernet's segment size, as a label printer on the plant's network takes
// a job. It notes when each job's first and last bytes came.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

    explicit DiscardingPrinter(std::size_t bytesPerSecond = 0) : bytesPerSecond_(bytesPerSecond)
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
        static const std::string healthy =
            "\x02" "030,0,0,1245,000,0,0,0,000,0,0,0\x03\r\n"
            "\x02" "001,0,0,0,1,2,6,0,00000000,1,000\x03\r\n"
            "\x02" "1234,0\x03\r\n";
        while (!stop_) {
            pollfd entry{listener_, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0)
                continue;
            const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                continue;
            Job job;
            char buffer[65536];
            const auto began = Clock::now();
            for (ssize_t got; (got = ::recv(connection, buffer, bytesPerSecond_ ? 1024 : sizeof buffer, 0)) > 0;) {
                if (job.bytes == 0) {
                    job.firstByte = Clock::now();
                    if (std::string_view(buffer, static_cast<std::size_t>(got)).starts_with("~HS"))
                        ::send(connection, healthy.data(), healthy.size(), MSG_NOSIGNAL);
                }
                job.bytes += static_cast<std::size_t>(got);
                job.lastByte = Clock::now();
                if (bytesPerSecond_ && !stop_)
                    std::this_thread::sleep_until(began + std::chrono::duration<double>(
                                                              static_cast<double>(job.bytes) / bytesPerSecond_));
            }
            lastJob_ = job.bytes;
            ::close(connection);
            {
                const std::lock_guard lock(mutex_);
                jobs_.push_back(job);
            }
            ended_.notify_all();
        }
    }

    std::size_t bytesPerSecond_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> lastJob_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable ended_;
    std::vector<Job> jobs_;  // guarded by mutex_
    std::thread thread_;
};
