#include "printing/printer_readiness.h"

HostStatusAnswer askHostStatus(PrinterDestination& destination, std::chrono::milliseconds timeout)
{
    HostStatusAnswer answer;
    answer.reply = destination.request(hostStatusRequest, hostStatusComplete, timeout);
    answer.status = parseHostStatus(answer.reply);
    return answer;
}

std::string CupsQueueState::stateName() const
{
    switch (state) {
    case 3: return "idle";
    case 4: return "processing";
    case 5: return "stopped";
    default: return "unknown";
    }
}
