#pragma once
// Many HTTP callers on kept-alive connections, for the service's benchmarks.

#include "bench/service/bench_service.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

// Many keep-alive connections to the service, driven by this thread alone
// with epoll, so that the callers take little of the cores the service
// needs. A connection sends its next request only once it has its last
// answer (no pipelining). The first fault is kept, and ends every wait.
class Callers {
public:
    using Answered = std::function<void(std::size_t caller, int status, Clock::duration waited)>;

    // count connections begun at once: with perAddress, that many at most
    // from each of 127.0.0.2, 127.0.0.3, ... (the service takes 64 at most
    // from one address); otherwise all from 127.0.0.1.
    Callers(int port, std::size_t count, std::size_t perAddress = 0)
        : epoll_(::epoll_create1(EPOLL_CLOEXEC)), peers_(count)
    {
        if (epoll_ < 0)
            fail("epoll_create1");
        else
            connectAll(loopback(INADDR_LOOPBACK, port), perAddress);
    }
    ~Callers()
    {
        for (const Peer& peer : peers_)
            if (peer.socket >= 0)
                ::close(peer.socket);
        if (epoll_ >= 0)
            ::close(epoll_);
    }
    Callers(const Callers&) = delete;
    Callers& operator=(const Callers&) = delete;

    const std::string& fault() const { return fault_; }
    std::size_t size() const { return peers_.size(); }
    void onAnswer(Answered answered) { answered_ = std::move(answered); }

    // Sends the request on the caller's connection, once it is open.
    void send(std::size_t caller, const std::string& bytes)
    {
        Peer& peer = peers_[caller];
        if (peer.owed++ == 0)
            peer.sent = Clock::now();
        ++owed_;
        peer.out += bytes;
        if (peer.state == State::Open && !peer.writing)
            flush(caller);
    }

    // Handles events until done() or the deadline: whether done() was reached.
    bool run(Clock::time_point deadline, const std::function<bool()>& done)
    {
        std::array<epoll_event, 256> events;
        while (fault_.empty() && !done()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            const int ready = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()),
                                           static_cast<int>(std::min<long long>(left.count(), 1000)));
            if (ready < 0 && errno != EINTR)
                fail("epoll_wait");
            for (int event = 0; event < ready && fault_.empty(); ++event)
                handle(events[event].data.u64, events[event].events);
        }
        return fault_.empty();
    }
    bool allOpen(Clock::time_point deadline)
    {
        return run(deadline, [this] { return open_ == peers_.size(); });
    }
    bool allAnswered(Clock::time_point deadline)
    {
        return run(deadline, [this] { return owed_ == 0; });
    }

    // Shuts the sending side of every connection and waits until the service
    // has closed its end of each, so that it no longer counts any of them.
    bool hangUp(Clock::time_point deadline)
    {
        for (Peer& peer : peers_) {
            if (peer.state == State::Open && ::shutdown(peer.socket, SHUT_WR) == 0) {
                peer.state = State::Closing;
            } else if (peer.state != State::Closed) {
                closed(peer);
            }
        }
        return run(deadline, [this] { return closed_ == peers_.size(); });
    }

private:
    enum class State { Connecting, Open, Closing, Closed };
    struct Peer {
        int socket = -1;
        State state = State::Connecting;
        std::string out, in;
        std::size_t written = 0;  // of out
        bool writing = false;     // waiting until out can be written
        int owed = 0;
        Clock::time_point sent;  // of the oldest request owed
    };

    void connectAll(const sockaddr_in& service, std::size_t perAddress)
    {
        for (std::size_t caller = 0; caller < peers_.size(); ++caller) {
            Peer& peer = peers_[caller];
            peer.socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (peer.socket < 0)
                return fail("socket");
            const int noDelay = 1;
            ::setsockopt(peer.socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
            if (perAddress > 0) {
                const auto host = INADDR_LOOPBACK + 1 + static_cast<std::uint32_t>(caller / perAddress);
                const sockaddr_in from = loopback(host, 0);
                if (::bind(peer.socket, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0)
                    return fail("bind");
            }
            if (::connect(peer.socket, reinterpret_cast<const sockaddr*>(&service), sizeof service) == 0)
                opened(peer);
            else if (errno != EINPROGRESS)
                return fail("connect");
            epoll_event event{};
            event.events = peer.state == State::Open ? EPOLLIN : EPOLLIN | EPOLLOUT;
            event.data.u64 = caller;
            if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, peer.socket, &event) != 0)
                return fail("epoll_ctl");
        }
    }

    void fail(const char* call)
    {
        if (fault_.empty())
            fault_ = std::string(call) + ": " + std::strerror(errno);
    }
    void opened(Peer& peer)
    {
        peer.state = State::Open;
        ++open_;
    }
    void closed(Peer& peer)
    {
        ::close(peer.socket);
        peer.socket = -1;
        peer.state = State::Closed;
        ++closed_;
    }
    void watch(std::size_t caller, bool writable)
    {
        Peer& peer = peers_[caller];
        peer.writing = writable;
        epoll_event event{};
        event.events = writable ? EPOLLIN | EPOLLOUT : EPOLLIN;
        event.data.u64 = caller;
        if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, peer.socket, &event) != 0)
            fail("epoll_ctl");
    }

    void handle(std::size_t caller, std::uint32_t events)
    {
        Peer& peer = peers_[caller];
        if (peer.state == State::Closed)
            return;
        if (peer.state == State::Connecting) {
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(peer.socket, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                errno = error;
                return fail("connect");
            }
            if (!(events & EPOLLOUT))
                return;
            opened(peer);
            watch(caller, false);
            if (!peer.out.empty())
                flush(caller);
            return;
        }
        if ((events & EPOLLOUT) && peer.writing)
            flush(caller);
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR))
            receive(caller);
    }

    void flush(std::size_t caller)
    {
        Peer& peer = peers_[caller];
        while (peer.written < peer.out.size()) {
            const ssize_t wrote =
                ::send(peer.socket, peer.out.data() + peer.written, peer.out.size() - peer.written, MSG_NOSIGNAL);
            if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!peer.writing)
                    watch(caller, true);
                return;
            }
            if (wrote < 0)
                return fail("send");
            peer.written += static_cast<std::size_t>(wrote);
        }
        peer.out.clear();
        peer.written = 0;
        if (peer.writing)
            watch(caller, false);
    }

    void receive(std::size_t caller)
    {
        Peer& peer = peers_[caller];
        char chunk[16384];
        ssize_t got;
        while ((got = ::recv(peer.socket, chunk, sizeof chunk, 0)) > 0 || (got < 0 && errno == EINTR))
            if (got > 0)
                peer.in.append(chunk, static_cast<std::size_t>(got));
        const int error = got < 0 ? errno : 0;
        const bool ended = got == 0 || (error != EAGAIN && error != EWOULDBLOCK);
        if (peer.state == State::Closing) {
            if (ended)
                closed(peer);
            return;
        }
        // Answers read before a close are taken first: a refusal comes with one.
        while (const std::optional<Framed> framed = firstAnswer(peer.in)) {
            const Clock::duration waited = Clock::now() - peer.sent;
            peer.in.erase(0, framed->end);
            if (peer.owed == 0) {
                fault_ = "the service sent an answer that was not asked for";
                return;
            }
            --owed_;
            if (--peer.owed > 0)
                peer.sent = Clock::now();
            if (answered_)
                answered_(caller, framed->status, waited);
        }
        if (ended && fault_.empty())
            fault_ = error ? std::string("recv: ") + std::strerror(error)
                   : peer.owed ? "the service closed a connection that awaited its answer"
                               : "the service closed an idle connection";
    }

    int epoll_;
    std::vector<Peer> peers_;
    std::size_t open_ = 0, closed_ = 0, owed_ = 0;
    Answered answered_;
    std::string fault_;
};
