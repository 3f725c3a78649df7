#pragma once
// travcard serve: the commands as an HTTP/JSON print service. Requests are
// read, routed and answered on the door's thread, which also keeps the
// service's state; the journal's work runs on the desk's threads, a
// printer's status and the health check on threads of their own, and each
// run in its printer's queue. A print's request id is claimed in the
// journal before the run is queued, so that the caller learns its run at
// once and a retry with the id never prints again.
//
// The routes live by resource: print_routes.cpp (print, nested, rest,
// reprint), run_routes.cpp, printer_routes.cpp, health_routes.cpp.

#include "service/callers.h"
#include "service/exchange.h"
#include "service/http_door.h"
#include "service/printer_queue.h"
#include "service/run_end_listener.h"
#include "service/request_decoding.h"
#include "service/service_metrics.h"
#include "service/service_settings.h"

#include "commands/startup.h"
#include "db/database_session.h"
#include "exactly_once/answer.h"

#include <QStringList>
#include <QThreadPool>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

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

class PrintService {
public:
    PrintService(boost::asio::io_context& io, ServiceSettings settings, std::shared_ptr<JournalAccess> journal,
                 std::chrono::milliseconds databaseTimeout, HttpLimits limits = {});
    ~PrintService();
    PrintService(const PrintService&) = delete;
    PrintService& operator=(const PrintService&) = delete;

    // Listens where the settings say: an error's text, or nothing.
    std::optional<std::string> start();
    unsigned short port() const { return door_.port(); }

    // Takes no more requests (503), gives back the claims of the runs that
    // wait, and stops each running one after its current ticket once the
    // printer has taken it; atOnce, at the ticket being sent, without
    // waiting for the printer (what it has not acknowledged is in doubt).
    // Every queue is told at once. Then stopped() on the door's thread.
    void stop(bool atOnce, std::function<void()> stopped);
    // Closes every connection: the service is ending.
    void closeDoor() { door_.closeAll(); }

    // Reads the tokens file, the certificate and the key again; a file that
    // cannot be used keeps the old ones. What was wrong, or nothing.
    std::optional<std::string> reload();

private:
    void route(const Reply& exchange);
    // then() once the call's token names a caller; otherwise 401 (429 for
    // an address that has guessed too often).
    void authorised(const Reply& exchange, const std::function<void()>& then);

    // The routes.
    void health(const Reply& exchange);
    void openApi(const Reply& exchange);
    // The status page: its HTML, which asks for a token and calls the API.
    void page(const Reply& exchange);
    // The service's counters in Prometheus' text format.
    void metrics(const Reply& exchange);
    void print(const Reply& exchange, bool nested);
    void rest(std::int64_t run, const Reply& exchange);
    void reprint(std::int64_t run, const Reply& exchange);
    void runStatus(std::int64_t run, const Reply& exchange, std::chrono::steady_clock::time_point until);
    void runList(const Reply& exchange);
    // A queued run is removed and ended cancelled; a printing one stops after
    // the ticket the printer takes, here or, through the journal, in the
    // process that prints it.
    void cancel(std::int64_t run, const Reply& exchange);
    // A run taken out of its queue before it began: ended cancelled in the
    // journal; exchange, when there is one, answered 200.
    void cancelQueued(std::int64_t run, const std::string& printer, const Reply& exchange);
    // Every second while runs wait: those another program asked to stop
    // (travcard cancel) are taken out of their queues.
    void watchStopRequests();
    void printerList(const Reply& exchange);
    void printerQueue(const std::string& name, const Reply& exchange);
    void printerStatus(const std::string& name, const Reply& exchange);
    // Answers every health request that waits for the running check.
    void tellHealth(const QJsonObject& health);

    // A run recorded in the journal, queued to print with work in the place
    // reserved for it; answered 202.
    void queueRun(const std::string& printer, std::int64_t run, const QJsonObject& accepted,
                  std::function<void(OrderRun&, const std::shared_ptr<PrintProgress>&, Answer&)> work,
                  const Reply& exchange, bool inJournal = false);
    // The request id of a run accepted here, or nothing.
    std::string requestIdOf(std::int64_t run) const;
    // Print the Rest or Reprint: plan, at the desk, decides what to print and
    // records the run, or answers why not (a request without a journalRun);
    // the run is queued to printer. A request id names the request in the
    // answer.
    void printAgainLater(const Reply& exchange, const std::string& printer, const char* againOf,
                         const std::optional<std::string>& requestId, std::function<ReprintRequest(Answer&)> plan);
    void releaseRun(std::int64_t run, const std::string& message);
    // A run's job in printer's queue: work, then its end told on the door's thread.
    // inJournal: it waits in the shared queue (a print of a shared journal).
    PrinterQueue::Job runJob(const std::string& printer, std::int64_t run, const std::string& requestId,
                             std::function<void(OrderRun&, const std::shared_ptr<PrintProgress>&, Answer&)> work,
                             bool inJournal);
    // With a shared journal: what printer's queue asks of it, and the job
    // of a print another instance accepted.
    PrinterQueue::Shared sharedQueue(const std::string& printer);
    PrinterQueue::Job sharedJob(const std::string& printer, const SharedRun& taken);
    // Asks run, printing here or elsewhere, to stop through the journal.
    void askToStop(std::int64_t run, const Reply& exchange);
    void runEnded(std::int64_t run, const std::string& printer, const std::string& requestId,
                  const QJsonObject& outcome);
    // A run given up as this instance stops waits in the shared queue again.
    void wentBackToQueue(std::int64_t run, const std::string& printer, const std::string& requestId);
    void forget(std::int64_t run, const std::string& requestId);
    // A place in printer's queue, taken before anything is claimed; false,
    // and the caller answered, when the queue is full.
    bool reservePlace(const std::string& printer, const std::optional<std::string>& requestId,
                      const Reply& exchange);
    bool waitingHere(std::int64_t run) const;
    void refuseStopping(const Reply& exchange);

    // Runs work on a desk thread, then then(result) on the door's thread,
    // where then is also released. Work that throws is logged, and its
    // request answered 500.
    template <class Result>
    void atDesk(std::function<Result()> work, std::function<void(Result)> then);
    // The same on a pool of its own, for checks that wait on a printer or
    // the database, so that the journal's work never waits behind them.
    template <class Result>
    void runOn(QThreadPool& pool, std::function<Result()> work, std::function<void(Result)> then);
    // then() on the door's thread after delay.
    void after(std::chrono::milliseconds delay, std::function<void()> then);
    void waitForQueues(std::function<void()> stopped);

    boost::asio::io_context& io_;
    ServiceSettings settings_;
    std::shared_ptr<JournalAccess> journal_;
    HttpDoor door_;
    GuessBudget guesses_;
    QThreadPool desk_;
    QThreadPool statusCheckers_;
    QThreadPool healthCheckers_;
    std::map<std::string, std::unique_ptr<PrinterQueue>> queues_;
    std::map<std::int64_t, QJsonObject> endings_;  // the last runs' answers, as they ended here
    // Each printer's last status, as a caller asked for it, and when.
    struct StatusRead {
        QJsonObject status;
        QString read;  // ISO 8601
    };
    std::map<std::string, StatusRead> lastStatus_;
    // The request ids of runs accepted here that have not ended, with what
    // each request asked: a repeat while the queue is full is told its run.
    struct AcceptedHere {
        std::int64_t run = 0;
        std::string printer;
        QByteArray asked;
    };
    std::map<std::string, AcceptedHere> acceptedHere_;
    bool stopping_ = false;
    // The runs wait in the journal the plant's services share (a server's),
    // and any instance's worker for their printer prints them.
    bool sharedQueue_ = false;
    // Callers waiting for runs to end (?wait=), woken when the shared journal
    // tells of an end: each called once, by the end or by its next poll.
    struct Waiter {
        std::shared_ptr<bool> woken;
        std::function<void()> wake;
    };
    std::map<std::int64_t, std::vector<Waiter>> runWaiters_;
    void runEndedElsewhere(std::int64_t run);
    std::unique_ptr<RunEndListener> runEnds_;
    // A run's record as last read, for callers that poll it.
    struct SeenRun {
        QJsonObject json;
        bool ended = false;
        std::chrono::steady_clock::time_point read;
        bool settled = false;  // ended, and nothing about it can change: kept, never read again
    };
    std::map<std::int64_t, SeenRun> seenRuns_;
    // The database session of the health check, one check at a time, and
    // how the last finished check ended and when.
    struct HealthCheck {
        std::mutex guard;
        DatabaseSession session{databaseConnectionString(), driverTimeouts};
        std::atomic<bool> running{false};
        std::chrono::steady_clock::time_point began;  // of the running check; the door's thread's
        std::atomic<int> lastKnown{-1};               // the database reached: 1, 0, or -1 before the first
        std::atomic<int> lastJournal{-1};             // the journal took a write: the same
        std::atomic<std::int64_t> lastEnded{0};       // ms since the epoch
    };
    std::shared_ptr<HealthCheck> health_ = std::make_shared<HealthCheck>();
    std::vector<std::function<void(QJsonObject)>> healthWaiting_;
    std::shared_ptr<ServiceMetrics> metrics_ = std::make_shared<ServiceMetrics>();  // the door's thread's
};

template <class Result>
void PrintService::atDesk(std::function<Result()> work, std::function<void(Result)> then)
{
    runOn(desk_, std::move(work), std::move(then));
}

template <class Result>
void PrintService::runOn(QThreadPool& pool, std::function<Result()> work, std::function<void(Result)> then)
{
    // The task hands then on to the door's thread rather than keep a copy:
    // what then holds (the request's answer) is released there.
    pool.start([&io = io_, work = std::move(work), then = std::move(then)]() mutable {
        std::optional<Result> result;
        std::string failure;
        try {
            result.emplace(work());
        } catch (const std::exception& error) {
            failure = error.what();
        } catch (...) {
            failure = "an unknown exception";
        }
        boost::asio::post(io, [then = std::move(then), result = std::move(result), failure = std::move(failure)]() mutable {
            if (result)
                then(std::move(*result));
            else
                logLine("a request failed: " + failure);  // its reply, released, answers 500
        });
    });
}

// The service's answer for an outcome of a command: the HTTP status its
// reason and status call for.
int httpStatusOf(const Answer& answer);

// What a request asked, whitespace and the order of its fields aside.
QByteArray askedIn(const HttpCall& call);

// Runs `travcard serve` until SIGTERM or SIGINT: the exit status.
// journalPath and listen, when not empty, stand for JOURNAL= and SERVICE_LISTEN=.
int serve(const std::string& programDir, const std::string& journalPath, const std::string& listen);
// The same from its command line: the program's name, "serve", its options.
int serveCommand(const QStringList& arguments, const std::string& programDir);

}  // namespace service
