// The ZPL II interpreter of the preview on any stream.

#include "fuzz/printer_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    for (const int dpi : {203, 300, 600})
        drawEveryPage(data, size, travcard::render::PrinterKind::Zebra, dpi);
    return 0;
}
