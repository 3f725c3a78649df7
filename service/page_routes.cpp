// GET /: the status page.

#include "service/print_service.h"

namespace service {

void PrintService::page(const Reply& exchange)
{
    exchange->refuse({404, "not_found", "No such resource: /"});
}

}  // namespace service
