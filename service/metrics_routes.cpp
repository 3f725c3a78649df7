// GET /metrics: the service's counters in Prometheus' text format.

#include "service/print_service.h"

namespace service {

void PrintService::metrics(const Reply& exchange)
{
    exchange->refuse({404, "not_found", "No such resource: /metrics"});
}

}  // namespace service
