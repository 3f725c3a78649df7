// The parser of a Zebra printer's ~HS answer on any bytes the network
// returns, and the proof of printing read from them. An answer is read only
// once it is complete, a fault is always put in words, and the proof never
// covers a ticket written after its request, nor depends on how TCP split
// the answer.

#include "fuzz/check.h"
#include "printing/zebra_proof.h"
#include "printing/zebra_status.h"

#include <cstdint>

namespace {

// Two tickets of two formats before the request, one after it.
PrintedProof proofReading(std::string_view reply, std::size_t split)
{
    const std::string_view ticket = "^XA^FDx^FS^PQ1,0,0,N^XZ\r\n^XA^IDR:ID*.*^XZ\r\n";
    PrintedProof proof;
    proof.written(ticket);
    proof.written(ticket);
    proof.asked(PrintedProof::Clock::now());
    proof.written(ticket);
    proof.received(reply.substr(0, split));
    proof.received(reply.substr(split));
    return proof;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    const PrintedProof whole = proofReading(reply, reply.size());
    const PrintedProof split = proofReading(reply, reply.size() / 2);
    FUZZ_CHECK(whole.printed() <= 2);
    FUZZ_CHECK(whole.printed() == split.printed() && whole.givenUp() == split.givenUp());
    const std::optional<ZebraStatus> status = parseHostStatus(reply);
    if (!status)
        return 0;
    FUZZ_CHECK(hostStatusComplete(reply));
    const bool faulty = status->paperOut || status->paused || status->headOpen || status->ribbonOut;
    FUZZ_CHECK(faultsInWords(*status).empty() != faulty);
    return 0;
}
