#include "cli/sub_command.h"

#include "commands/check_printer.h"


namespace cli {

int checkPrinter(const QStringList& arguments, const Environment& environment)
{
    SubCommand command("check-printer", "check-printer [--printer NAME] [--type zebra|epson] [--json]", arguments);
    const PrinterOptions printerOptions{.takesDpi = false};
    const QCommandLineOption json("json", "Write the answer as one JSON object to standard output.");
    command.parser().addOptions({printerOptions.printer, printerOptions.type, json});
    if (const std::optional<int> status = command.parse({}))
        return *status;
    Answer answer(command.parser().isSet(json));
    const std::variant<PrinterSettings, int> settings = printerSettings(command, printerOptions, environment, answer);
    if (const int* status = std::get_if<int>(&settings))
        return *status;
    const PrinterSettings& printer = std::get<PrinterSettings>(settings);

    // Every step is bounded by the printer's time limits: no job runner needed.
    return answerCheck(printer, ::checkPrinter(printer, {}), answer);
}

}  // namespace cli
