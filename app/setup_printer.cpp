#include "app/setup_printer.h"

#include "platform/printer_destination.h"

SetupPrinterResult setupPrinter(const PrinterSettings& printer)
{
    try {
        const std::unique_ptr<PrinterDestination> destination =
            openDestination(printer.pname, printer.limits);
        destination->write(pageLengthCommand);
        destination->finish();
        return {{}, destination->takeCapture()};
    } catch (const PrinterError&) {
        return {{{printerNotAvailable(printer.pname), MessageIcon::None}}, std::nullopt};
    }
}
