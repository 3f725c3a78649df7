#pragma once
// The printer as travcard.cfg names it, and what a series of print runs
// carries from one run to the next.

#include "config/printer_kind.h"
#include "config/resolution.h"
#include "printing/printer_destination.h"

#include <string>

struct PrinterSettings {
    std::string name;  // the printer destination, as configured (PRINTER=)
    PrinterKind kind = PrinterKind::Zebra;
    DestinationLimits limits;  // time-outs of the printer calls; tests shorten them
    ResolutionSetting resolution{};  // a Zebra printer's (DPI=)
};

struct PrinterSession {
    PrinterSettings settings;
    bool extraLine = false;  // the next EPSON page takes the longer feed
};
