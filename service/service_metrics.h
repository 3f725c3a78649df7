#pragma once
// The service's counters, gauges and histograms, and their exposition in
// Prometheus' text format (version 0.0.4). Kept in memory and touched on the
// door's thread only: the answers counted as they are sent, the runs as
// their endings reach the door; what the queues and the last health check
// say is handed in at each scrape. A scrape reads neither the journal nor
// the database.

#include <QByteArray>
#include <QJsonObject>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace service {

// Counts of observations at or below each bound, with their sum.
class Histogram {
public:
    explicit Histogram(std::vector<double> bounds);
    void observe(double value);

    const std::vector<double>& bounds() const { return bounds_; }
    // Not cumulative: counts()[i] observations fell in (bounds[i-1], bounds[i]]; the last, above every bound.
    const std::vector<std::uint64_t>& counts() const { return counts_; }
    double sum() const { return sum_; }
    std::uint64_t count() const { return count_; }

private:
    std::vector<double> bounds_;
    std::vector<std::uint64_t> counts_;
    double sum_ = 0;
    std::uint64_t count_ = 0;
};

class ServiceMetrics {
public:
    using Duration = std::chrono::steady_clock::duration;

    struct Queue {
        std::string printer;
        int waiting = 0;
        bool printing = false;
    };
    // As the last finished health check left it: -1 before the first.
    struct Health {
        int database = -1;
        int journal = -1;
        std::int64_t endedMs = 0;  // since the epoch; 0 before the first
    };

    // An answer handed to the door, firstByte after its request was read.
    void answered(const std::string& route, const QByteArray& method, int status, Duration firstByte);
    // A run's ending, also of one cancelled before it began: its answer's
    // reason, sent and in_doubt.
    void runEnded(const QJsonObject& outcome);
    // A run that ran on its printer's queue for took; printed, of its
    // tickets, those the printer proved it printed.
    void runRan(Duration took, int printed);

    QByteArray exposition(const std::vector<Queue>& queues, const Health& health) const;

    static constexpr const char* contentType = "text/plain; version=0.0.4; charset=utf-8";

private:
    std::map<std::tuple<std::string, std::string, int>, std::uint64_t> requests_;  // route, method, status
    std::map<std::string, Histogram> firstByte_;                                     // by route
    std::map<std::string, std::uint64_t> runs_;                                      // by reason
    Histogram runDuration_{{0.5, 1, 2.5, 5, 10, 30, 60, 120, 300, 600, 1800, 3600}};
    std::uint64_t confirmed_ = 0, printed_ = 0, inDoubt_ = 0;
};

}  // namespace service
