#include "app/setup_printer.h"

#include "platform/printer_device.h"

SetupPrinterResult setupPrinter(const PrinterSettings& printer)
{
    PrinterDevice device;
    const bool sent = device.open(printer.pname) && device.write(pageLengthCommand);
    if (!device.close() || !sent)
        return {{{printerNotAvailable(printer.pname), MessageIcon::None}}};
    return {};
}
