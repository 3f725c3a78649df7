#include "app/setup_printer.h"

#include "platform/printer_device.h"

void setupPrinter(const PrinterSettings& printer, MessageBox& messages)
{
    PrinterDevice device;
    const bool sent = device.open(printer.pname) && device.write(pageLengthCommand);
    if (!device.close() || !sent)
        messages.show(printerNotAvailable(printer.pname), MessageIcon::None);
}
