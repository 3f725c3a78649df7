// GET /metrics: the service's counters in Prometheus' text format. What it
// shows is in memory: a scrape reads neither the journal nor the database,
// and starts no health check.

#include "service/print_service.h"

namespace service {

void PrintService::metrics(const Reply& exchange)
{
    std::vector<ServiceMetrics::Queue> queues;
    for (const auto& [name, queue] : queues_)
        queues.push_back({name, queue->waiting(), queue->busy()});
    const ServiceMetrics::Health health{health_->lastKnown, health_->lastJournal, health_->lastEnded};
    exchange->sendBytes(200, ServiceMetrics::contentType, metrics_->exposition(queues, health));
}

}  // namespace service
