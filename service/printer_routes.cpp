// GET /v1/printers/{name}/status: the printer asked whether it can take a
// job now, on threads of their own (a silent printer takes seconds).

#include "service/print_service.h"

#include "commands/check_printer.h"

namespace service {

void PrintService::printerStatus(const std::string& name, const Reply& exchange)
{
    const auto found = settings_.printers.find(name);
    if (found == settings_.printers.end())
        return exchange->refuse({404, "unknown_printer", "The service has no printer named " + name + "."});
    const PrinterSettings printer = found->second;
    runOn<QJsonObject>(
        statusCheckers_,
        [printer] {
            Answer answer;
            answerCheck(printer, checkPrinter(printer), answer);
            return answer.json();
        },
        [exchange, name](QJsonObject status) {
            status.insert("name", QString::fromStdString(name));
            exchange->send(200, status);
        });
}

}  // namespace service

namespace service {

void PrintService::printerList(const Reply& exchange)
{
    exchange->send(200, QJsonObject{});
}

void PrintService::printerQueue(const std::string& name, const Reply& exchange)
{
    exchange->refuse({404, "unknown_printer", "The service has no printer named " + name + "."});
}

}  // namespace service
