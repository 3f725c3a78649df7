#include "app/stop_signals.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace stop_signals {
namespace {

constexpr int caught[] = {SIGTERM, SIGINT, SIGHUP};

int signalPipe[2] = {-1, -1};

// Async-signal-safe: one write, and errno as the interrupted code left it.
// A full pipe drops the byte: a stop is already waiting to be read.
void writeToPipe(int signal)
{
    const int interrupted = errno;
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = interrupted;
}

}  // namespace

int catchThem()
{
    if (signalPipe[0] >= 0)
        return signalPipe[0];
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    struct sigaction handler {};
    handler.sa_handler = writeToPipe;
    handler.sa_flags = SA_RESTART;
    sigemptyset(&handler.sa_mask);
    for (const int signal : caught) {
        struct sigaction before {};
        if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        ::sigaction(signal, &handler, nullptr);
    }
    return signalPipe[0];
}

int next()
{
    unsigned char byte = 0;
    ssize_t got = 0;
    do
        got = ::read(signalPipe[0], &byte, 1);
    while (got < 0 && errno == EINTR);
    return got == 1 ? byte : 0;
}

void endAsSignalled(int signal)
{
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    ::sigaction(signal, &byDefault, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    std::raise(signal);
    std::_Exit(128 + signal);  // not reached: the signal ends the program
}

}  // namespace stop_signals
