#pragma once
// The printer as travcard.cfg names it, and what a series of print runs
// carries from one run to the next.

#include <string>

struct PrinterSettings {
    std::string pname;  // the printer device, as configured
    bool boolEpson = false;
    bool boolZebra = false;
};

struct PrinterSession {
    PrinterSettings settings;
    bool boolExtraLine = false;  // the next EPSON page takes the longer feed
};
