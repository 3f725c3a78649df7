#pragma once

// The two printer languages travcard speaks: ZPL II label jobs for a Zebra
// printer, ESC/P pages for an EPSON printer (PRTTYPE= in travcard.cfg).
enum class PrinterKind { Zebra, Epson };
