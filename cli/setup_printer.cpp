#include "cli/sub_command.h"

#include "commands/setup_printer.h"

namespace cli {

int setupPrinter(const QStringList& arguments, const Environment& environment)
{
    SubCommand command("setup-printer", "setup-printer [--printer NAME] [--type zebra|epson]", arguments);
    const PrinterOptions printerOptions{.takesDpi = false};
    command.parser().addOptions({printerOptions.printer, printerOptions.type});
    if (const std::optional<int> status = command.parse({}))
        return *status;
    StandardError messages;
    const std::optional<PrinterSettings> printer = printerSettings(command, printerOptions, environment, messages);
    if (!printer)
        return nothingPrinted;
    QObject receiver;
    Commands commands(receiver);
    const auto result = commands.runAndWait<SetupPrinterResult>(
        [settings = *printer](DatabaseSession&, std::stop_token stop) { return setupPrinter(settings, stop); });
    messages.showAll(result->messages);
    return result->messages.empty() ? allSent : printerFault;
}


}  // namespace cli
