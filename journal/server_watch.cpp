#include "journal/server_watch.h"

#include <QSqlDriver>
#include <QVariant>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include <dlfcn.h>
#include <sys/socket.h>

namespace {

using Clock = std::chrono::steady_clock;

// libpq's socket of a connection, asked of the libpq that Qt's driver
// loaded (travcard itself links no libpq); -1 when there is none.
int socketOf(const QSqlDatabase& db)
{
    using PQsocket = int (*)(const void*);
    static const PQsocket ask = [] {
        void* libpq = ::dlopen("libpq.so.5", RTLD_NOW | RTLD_NOLOAD);
        return libpq ? reinterpret_cast<PQsocket>(::dlsym(libpq, "PQsocket")) : nullptr;
    }();
    if (!ask || !db.isValid() || !db.driver())
        return -1;
    const QVariant handle = db.driver()->handle();
    // libpq's PGconn is its struct pg_conn.
    if (qstrcmp(handle.typeName(), "pg_conn*") != 0 && qstrcmp(handle.typeName(), "PGconn*") != 0)
        return -1;
    const void* connection = *static_cast<const void* const*>(handle.constData());
    return connection ? ask(connection) : -1;
}

// One thread for every watch, started with the first.
class Watchdog {
public:
    static Watchdog& instance()
    {
        static auto* watchdog = new Watchdog;  // never destroyed: a job's thread may call at exit
        return *watchdog;
    }

    std::uint64_t watch(int socket, Clock::time_point deadline)
    {
        const std::lock_guard lock(guard_);
        const std::uint64_t id = ++lastId_;
        watched_.emplace(id, Watched{socket, deadline});
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
        // A call comes every millisecond or so while a run prints: the
        // thread is woken only when it would wake too late.
        if (deadline < sleepsUntil_) {
            sleepsUntil_ = deadline;
            woken_.notify_one();
        }
        return id;
    }

    // Once it returns, the socket is no longer shut down.
    void forget(std::uint64_t id)
    {
        const std::lock_guard lock(guard_);
        watched_.erase(id);
    }

private:
    struct Watched {
        int socket;
        Clock::time_point deadline;
    };

    [[noreturn]] void run()
    {
        std::unique_lock lock(guard_);
        for (;;) {
            Clock::time_point next = Clock::time_point::max();
            for (auto it = watched_.begin(); it != watched_.end();) {
                if (it->second.deadline <= Clock::now()) {
                    ::shutdown(it->second.socket, SHUT_RDWR);
                    it = watched_.erase(it);
                } else {
                    next = std::min(next, it->second.deadline);
                    ++it;
                }
            }
            sleepsUntil_ = next;
            if (next == Clock::time_point::max())
                woken_.wait(lock);
            else
                woken_.wait_until(lock, next);
        }
    }

    std::mutex guard_;
    std::condition_variable woken_;
    std::map<std::uint64_t, Watched> watched_;
    std::uint64_t lastId_ = 0;
    Clock::time_point sleepsUntil_ = Clock::time_point::max();  // when the thread looks next
    std::thread thread_;
};

}  // namespace

ServerWatch::ServerWatch(const QSqlDatabase& db, std::chrono::milliseconds limit) { restart(db, limit); }

ServerWatch::~ServerWatch() { stop(); }

void ServerWatch::restart(const QSqlDatabase& db, std::chrono::milliseconds limit)
{
    stop();
    if (const int socket = socketOf(db); socket >= 0)
        id_ = Watchdog::instance().watch(socket, Clock::now() + limit);
}

void ServerWatch::stop()
{
    if (id_ != 0)
        Watchdog::instance().forget(id_);
    id_ = 0;
}
