#include "commands/setup_printer.h"

#include "printing/printer_destination.h"

SetupPrinterResult setupPrinter(const PrinterSettings& printer, std::stop_token stop)
{
    try {
        const std::unique_ptr<PrinterDestination> destination =
            openDestination(printer.name, printer.limits, stop);
        destination->write(pageLengthCommand);
        destination->finish();
        return {{}, destination->takeCapture()};
    } catch (const PrinterError& error) {
        return {{{printerNotAvailable(printer.name, error), MessageIcon::None}}, std::nullopt};
    }
}
