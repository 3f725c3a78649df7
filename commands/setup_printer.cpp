#include "commands/setup_printer.h"

#include "printing/printer_destination.h"

SetupPrinterResult setupPrinter(const PrinterSettings& printer)
{
    try {
        const std::unique_ptr<PrinterDestination> destination =
            openDestination(printer.name, printer.limits);
        destination->write(pageLengthCommand);
        destination->finish();
        return {{}, destination->takeCapture()};
    } catch (const PrinterError&) {
        return {{{printerNotAvailable(printer.name), MessageIcon::None}}, std::nullopt};
    }
}
