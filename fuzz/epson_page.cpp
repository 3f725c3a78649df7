// The EPSON page writer on any ticket values. Whatever the values hold, the
// page is 14 text lines, a block of 13 or 14 bar rows (two ESC L bit images
// each, fed by ESC J 4) as the alternation flag says, and 4 line feeds; no
// value adds a line or a printer command of its own.

#include "fuzz/check.h"
#include "tickets/epson_page.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <stdexcept>

namespace {

struct PageCounts {
    int lineEnds = 0;   // CR LF
    int bitImages = 0;  // ESC L nL nH and its columns
    int rowFeeds = 0;   // ESC J 4
};

// Walks the page as the printer reads it; a control byte other than these is a fault.
PageCounts readPage(std::string_view page)
{
    PageCounts counts;
    std::size_t i = 0;
    while (i < page.size()) {
        const auto byte = static_cast<unsigned char>(page[i]);
        if (byte == 0x1B) {
            FUZZ_CHECK(i + 1 < page.size());
            if (page[i + 1] == 'J') {
                FUZZ_CHECK(page.substr(i, 3) == "\x1BJ\x04");
                ++counts.rowFeeds;
                i += 3;
                continue;
            }
            FUZZ_CHECK(page[i + 1] == 'L' && i + 4 <= page.size());
            const std::size_t columns = static_cast<unsigned char>(page[i + 2]) +
                                        256 * static_cast<std::size_t>(static_cast<unsigned char>(page[i + 3]));
            FUZZ_CHECK(i + 4 + columns <= page.size());
            for (char column : page.substr(i + 4, columns))
                FUZZ_CHECK(column == '\x00' || column == '\xFF');
            ++counts.bitImages;
            i += 4 + columns;
        } else if (page.substr(i, 2) == "\r\n") {
            ++counts.lineEnds;
            i += 2;
        } else {
            FUZZ_CHECK(byte == '\r' || (byte >= 0x20 && byte != 0x7F));
            ++i;
        }
    }
    return counts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    TicketData ticket;
    for (std::string* field :
         {&ticket.orderNo, &ticket.location, &ticket.suffix, &ticket.partNo, &ticket.qtyOrd, &ticket.operNo,
          &ticket.dept, &ticket.workCenter, &ticket.operDescr, &ticket.customer, &ticket.custPart,
          &ticket.nextOper, &ticket.nextDept, &ticket.nextDescr, &ticket.orderCode, &ticket.suffixCode,
          &ticket.operCode, &ticket.labelQty})
        *field = provider.ConsumeRandomLengthString(100);
    const bool extraLineBefore = provider.ConsumeBool();

    RvBarCode barcode;
    bool extraLine = extraLineBefore;
    std::string page;
    try {
        page = epsonPage(ticket, barcode, extraLine);
    } catch (const std::length_error&) {
        return 0;  // a barcode too wide for ESC L; the print run reports it
    }

    const int barRows = extraLineBefore ? 14 : 13;
    const PageCounts counts = readPage(page);
    FUZZ_CHECK(extraLine == !extraLineBefore);
    FUZZ_CHECK(counts.lineEnds == 14 + 4);
    FUZZ_CHECK(counts.rowFeeds == barRows);
    FUZZ_CHECK(counts.bitImages == 2 * barRows);
    return 0;
}
