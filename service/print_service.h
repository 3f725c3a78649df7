#pragma once
// travcard serve: the commands as an HTTP/JSON print service. Requests are
// read and answered on the service's thread; the journal's work runs on the
// desk's threads, a printer's status and the health check on threads of
// their own, and each run in its printer's queue. A print's request id is claimed in the
// journal before the run is queued, so that the caller learns its run at
// once and a retry with the id never prints again.

#include "service/http_front.h"
#include "service/printer_queue.h"
#include "service/request_decoding.h"
#include "service/service_settings.h"

#include "commands/startup.h"
#include "db/database_session.h"

#include <QObject>
#include <QStringList>
#include <QThreadPool>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class JournalAccess;

namespace service {

class PrintService : public QObject {
public:
    PrintService(ServiceSettings settings, std::shared_ptr<JournalAccess> journal,
                 std::chrono::milliseconds databaseTimeout, HttpLimits limits = {});
    ~PrintService() override;

    // Listens where the settings say: an error's text, or nothing.
    std::optional<QString> start();
    quint16 port() const { return front_.port(); }

    // Takes no more requests (503), drops the runs that wait (their claims
    // given back), stops each running one after its current ticket, then
    // calls stopped on the service's thread.
    void stop(std::function<void()> stopped);

private:
    class Exchange;
    using Reply = std::shared_ptr<Exchange>;

    void route(const HttpCall& call, const Reply& reply);
    // then(caller) once the call's token names a caller; otherwise 401.
    void authorised(const HttpCall& call, const Reply& reply, const std::function<void()>& then);

    void health(const Reply& reply);
    void openApi(const Reply& reply);
    void print(const Reply& reply, bool nested);
    void rest(std::int64_t run, const Reply& reply);
    void reprint(std::int64_t run, const Reply& reply);
    void runStatus(std::int64_t run, const Reply& reply, std::chrono::steady_clock::time_point until);
    void runList(const Reply& reply);
    void printerStatus(const std::string& name, const Reply& reply);

    // A run recorded in the journal, queued to print with work; answered 202.
    void queueRun(const std::string& printer, std::int64_t run, const QJsonObject& accepted,
                  std::function<void(OrderRun&, const std::shared_ptr<PrintProgress>&, Answer&)> work,
                  const Reply& reply);
    // Print the Rest or Reprint: plan, at the desk, decides what to print and
    // records the run, or answers why not (a request without a journalRun);
    // the run is queued to printer. A request id names the request in the
    // answer.
    void printAgainLater(const Reply& reply, const std::string& printer, const char* againOf,
                         const std::optional<std::string>& requestId,
                         std::function<ReprintRequest(Answer&)> plan);
    void releaseRun(std::int64_t run, const std::string& message);
    void runEnded(std::int64_t run, const std::string& printer, const std::string& requestId,
                  const QJsonObject& outcome);
    bool queueFull(const std::string& printer) const;
    void refuseFull(const std::string& printer, const std::optional<std::string>& requestId, const Reply& reply);
    bool waitingHere(std::int64_t run) const;

    // Runs work on a desk thread, then then(result) on the service's thread.
    // Work that throws is logged, and its request answered 500.
    template <class Result>
    void atDesk(std::function<Result()> work, std::function<void(Result)> then);
    // The same on a pool of its own, for checks that wait on a printer or
    // the database, so that the journal's work never waits behind them.
    template <class Result>
    void runOn(QThreadPool& pool, std::function<Result()> work, std::function<void(Result)> then);

    ServiceSettings settings_;
    std::shared_ptr<JournalAccess> journal_;
    HttpFront front_;
    QThreadPool desk_;
    QThreadPool statusCheckers_;
    QThreadPool healthCheckers_;
    std::map<std::string, std::unique_ptr<PrinterQueue>> queues_;
    std::map<std::int64_t, QJsonObject> endings_;  // the last runs' answers, as they ended here
    // The request ids of runs accepted here that have not ended, with what
    // each request asked: a repeat while the queue is full is told its run.
    struct AcceptedHere {
        std::int64_t run = 0;
        std::string printer;
        QByteArray asked;
    };
    std::map<std::string, AcceptedHere> acceptedHere_;
    bool stopping_ = false;
    // A run's record as last read, for callers that poll it.
    struct SeenRun {
        QJsonObject json;
        bool ended = false;
        std::chrono::steady_clock::time_point read;
    };
    std::map<std::int64_t, SeenRun> seenRuns_;
    // The database session of the health check, one check at a time; a
    // check that comes while another waits is told how the last one ended
    // (the first checks wait for the first result).
    struct HealthSession {
        std::mutex guard;
        DatabaseSession session{connectionString, driverTimeouts};
        std::atomic<int> lastKnown{-1};  // whether the last check reached it: 1, 0, or -1 before the first
    };
    std::shared_ptr<HealthSession> health_ = std::make_shared<HealthSession>();
    // Whether the service still takes the ends of runs from the queues' threads.
    struct Liveness {
        std::mutex guard;
        bool alive = true;
    };
    std::shared_ptr<Liveness> alive_ = std::make_shared<Liveness>();
};

// The service's answer for an outcome of a command: the HTTP status its
// reason and status call for.
int httpStatusOf(const Answer& answer);

// Runs `travcard serve` until SIGTERM or SIGINT: the exit status.
// journalPath and listen, when not empty, stand for JOURNAL= and SERVICE_LISTEN=.
int serve(const std::string& programDir, const std::string& journalPath, const std::string& listen);
// The same from its command line: the program's name, "serve", its options.
int serveCommand(const QStringList& arguments, const std::string& programDir);

}  // namespace service
