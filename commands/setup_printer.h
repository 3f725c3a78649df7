#pragma once

#include "printing/printer_settings.h"
#include "text/message_box.h"

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

// ESC C 39: page length of 39 lines, then CR LF.
inline constexpr std::string_view pageLengthCommand{"\x1B" "C" "\x27" "\r\n", 5};

struct SetupPrinterResult {
    std::vector<Message> messages;
    std::optional<std::string> preview;  // what a preview: destination kept
};

// Sends the page-length command to the configured printer, whatever the
// printer type. A printer that cannot be opened or written is reported.
// Once stop is set, the command gives up.
SetupPrinterResult setupPrinter(const PrinterSettings& printer, std::stop_token stop = {});
