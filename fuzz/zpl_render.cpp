// The ZPL II interpreter of the preview on any stream.

#include "fuzz/printer_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The input's length chooses the printer's resolution, so that every seed is drawn at each in turn as it grows.
    constexpr int resolutions[] = {203, 300, 600};
    drawEveryPage(data, size, travcard::render::PrinterKind::Zebra, resolutions[size % 3]);
    return 0;
}
