// The ESC/P interpreter of the preview on any stream.

#include "fuzz/printer_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    drawEveryPage(data, size, travcard::render::PrinterKind::Epson);
    return 0;
}
