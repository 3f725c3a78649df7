#pragma once

#include "platform/message_box.h"
#include "platform/shared_state.h"

#include <string_view>

// ESC C 39: page length of 39 lines, then CR LF.
inline constexpr std::string_view pageLengthCommand{"\x1B" "C" "\x27" "\r\n", 5};

// Sends the page-length command to the configured printer device, whatever
// the printer type. A device that cannot be opened or written is reported.
void setupPrinter(const PrinterSettings& printer, MessageBox& messages);
