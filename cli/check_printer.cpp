#include "cli/sub_command.h"

#include "commands/check_printer.h"

#include <QJsonArray>

namespace cli {

int checkPrinter(const QStringList& arguments, const Environment& environment)
{
    SubCommand command("check-printer", "check-printer [--printer NAME] [--type zebra|epson] [--json]", arguments);
    const PrinterOptions printerOptions;
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
    const PrinterCheck check = ::checkPrinter(printer, {});
    answer.messages.showAll(check.messages);

    QJsonObject fields{{"printer", QString::fromStdString(printer.name)},
                       {"type", printer.kind == PrinterKind::Zebra ? "zebra" : "epson"},
                       {"ready", check.ready()}};
    if (check.zebra) {
        fields.insert("paper_out", check.zebra->paperOut);
        fields.insert("head_open", check.zebra->headOpen);
        fields.insert("ribbon_out", check.zebra->ribbonOut);
        fields.insert("paused", check.zebra->paused);
    }
    if (check.queue) {
        QJsonArray reasons;
        for (const std::string& reason : check.queue->reasons)
            reasons.append(QString::fromStdString(reason));
        fields.insert("state", QString::fromStdString(check.queue->stateName()));
        fields.insert("accepting_jobs", check.queue->accepting);
        fields.insert("reasons", reasons);
    }
    switch (check.verdict) {
    case PrinterCheck::Verdict::Ready: return answer.end(allSent, reason::ready, fields);
    case PrinterCheck::Verdict::NotReady: return answer.end(printerFault, reason::printerNotReady, fields);
    case PrinterCheck::Verdict::Unavailable: break;
    }
    return answer.end(printerFault, reason::printerUnavailable, fields);
}

}  // namespace cli
