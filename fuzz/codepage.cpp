// The conversion of database and typed text to printer bytes, for both code
// pages: one byte per character at most, and no control byte ever reaches
// the printer, so no value can end a line or start a printer command.

#include "fuzz/check.h"
#include "text/codepage.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view utf8(reinterpret_cast<const char*>(data), size);
    const bool printableAscii = utf8.find_first_not_of(
        " !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~") ==
        std::string_view::npos;

    for (CodePage codePage : {CodePage::Cp437, CodePage::Cp850}) {
        const std::string bytes = toPrinterBytes(utf8, codePage);
        FUZZ_CHECK(bytes.size() <= utf8.size());
        for (unsigned char byte : bytes)
            FUZZ_CHECK(byte >= 0x20 && byte != 0x7F);
        if (printableAscii)
            FUZZ_CHECK(bytes == utf8);
    }
    return 0;
}
