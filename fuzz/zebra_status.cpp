// The parser of a Zebra printer's ~HS answer on any bytes the network
// returns. An answer is read only once it is complete, and a fault is always
// put in words.

#include "fuzz/check.h"
#include "printing/zebra_status.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    const std::optional<ZebraStatus> status = parseHostStatus(reply);
    if (!status)
        return 0;
    FUZZ_CHECK(hostStatusComplete(reply));
    const bool faulty = status->paperOut || status->paused || status->headOpen || status->ribbonOut;
    FUZZ_CHECK(faultsInWords(*status).empty() != faulty);
    return 0;
}
