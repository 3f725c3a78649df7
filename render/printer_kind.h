#pragma once

#include "config/printer_kind.h"

#include <string_view>

namespace travcard::render {

using ::PrinterKind;

// A stream holding a ZPL label format (^XA, in either case) is a Zebra job;
// anything else is read as an EPSON stream, where plain text prints too.
PrinterKind guessKind(std::string_view bytes);

}  // namespace travcard::render
