#pragma once
// The printer travcard.cfg names: PRINTER=, PRTTYPE= and DPI=, read and checked
// when the program starts.

#include "config/printer_kind.h"
#include "config/resolution.h"
#include "text/message_box.h"

#include <optional>
#include <string>

struct PrinterConfig {
    std::string printer;  // PRINTER=, as written
    PrinterKind kind = PrinterKind::Zebra;
    ResolutionSetting resolution;  // DPI=
};

// Reads travcard.cfg in programDir. On a fault shows its message(s) and
// returns nothing.
std::optional<PrinterConfig> loadPrinterConfig(const std::string& programDir, MessageBox& messages);
