#pragma once
// A bound on a call to a database server that stops answering: libpq waits
// for an answer for as long as it takes, and a server whose processes hang
// (stopped, swapped out, a disk that no longer answers) never sends one,
// nor does the kernel, which keeps the connection alive. A watch shuts the
// connection's socket down once its time is up, so that the waiting call
// fails at once (the server "closed the connection"); the connection is then
// opened again for the next call. Its file descriptor stays open: only libpq
// closes it.

#include <QSqlDatabase>

#include <chrono>
#include <cstdint>

class ServerWatch {
public:
    ServerWatch() = default;  // watches nothing
    // Watches db's connection (of Qt's PostgreSQL driver) for limit; nothing
    // when it has none or libpq cannot be asked for its socket.
    ServerWatch(const QSqlDatabase& db, std::chrono::milliseconds limit);
    ~ServerWatch();
    ServerWatch(const ServerWatch&) = delete;
    ServerWatch& operator=(const ServerWatch&) = delete;

    // Watches db's connection as it is now, for a new limit.
    void restart(const QSqlDatabase& db, std::chrono::milliseconds limit);
    // Before the connection is closed: its socket's number may name another
    // file after.
    void stop();

private:
    std::uint64_t id_ = 0;  // 0: nothing watched
};
