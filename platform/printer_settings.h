#pragma once
// The printer as travcard.cfg names it, and what a series of print runs
// carries from one run to the next.

#include "platform/printer_destination.h"

#include <string>

struct PrinterSettings {
    std::string pname;  // the printer destination, as configured (PRINTER=)
    bool boolEpson = false;
    bool boolZebra = false;
    DestinationLimits limits;  // time-outs of the printer calls; tests shorten them
};

struct PrinterSession {
    PrinterSettings settings;
    bool boolExtraLine = false;  // the next EPSON page takes the longer feed
};
