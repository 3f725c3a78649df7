#include "cli/sub_command.h"

#include "commands/order_lookup.h"
#include "commands/startup.h"
#include "exactly_once/printer_lease.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace cli {
namespace {

std::atomic<bool> printing{false};  // a sub-command that prints runs

// The print that a stop cancels, and whether a stop came before it started.
// A stop comes on the thread that reads the signals, while the print may be
// ending on the main thread: it holds the progress, never frees it.
struct RunningPrint {
    std::mutex mutex;
    std::shared_ptr<PrintProgress> progress;  // guarded by mutex
    bool stopAsked = false;                   // guarded by mutex
};

// Never destroyed: a stop may still come while the program exits.
RunningPrint& runningPrint()
{
    static auto* const running = new RunningPrint;
    return *running;
}

}  // namespace

std::optional<PrinterSettings> printerSettings(const SubCommand& command, const PrinterOptions& options,
                                               const Environment& environment, MessageBox& messages)
{
    std::optional<PrinterSettings> settings = loadPrinterSettings(environment.programDir, messages);
    if (!settings)
        return std::nullopt;
    if (command.parser().isSet(options.printer))
        settings->name = command.value(options.printer);
    if (command.parser().isSet(options.type)) {
        const QString type = command.parser().value(options.type).toLower();
        if (type != "zebra" && type != "epson") {
            messages.show("The printer type " + command.value(options.type) + " is not known: use zebra or epson.",
                          MessageIcon::Critical);
            return std::nullopt;
        }
        settings->kind = type == "zebra" ? PrinterKind::Zebra : PrinterKind::Epson;
    }
    if (options.takesDpi && command.parser().isSet(options.dpi)) {
        const std::optional<ResolutionSetting> resolution = parseResolution(command.value(options.dpi));
        if (!resolution) {
            messages.show("The resolution " + command.value(options.dpi) + " is not known: use 203, 300, 600 or auto.",
                          MessageIcon::Critical);
            return std::nullopt;
        }
        settings->resolution = *resolution;
    }
    return settings;
}

std::variant<PrinterSettings, int> printerSettings(const SubCommand& command, const PrinterOptions& options,
                                                   const Environment& environment, Answer& answer)
{
    if (command.parser().isSet(options.type)) {
        const QString type = command.parser().value(options.type).toLower();
        if (type != "zebra" && type != "epson")
            return answer.refuse("The printer type " + command.value(options.type) +
                                     " is not known: use zebra or epson.",
                                 nothingPrinted, reason::badOption);
    }
    if (options.takesDpi && command.parser().isSet(options.dpi) && !parseResolution(command.value(options.dpi)))
        return answer.refuse("The resolution " + command.value(options.dpi) + " is not known: use 203, 300, 600 or auto.",
                             nothingPrinted, reason::badOption);
    std::optional<PrinterSettings> settings = printerSettings(command, options, environment, answer.messages);
    if (!settings)
        return answer.end(nothingPrinted, reason::configUnusable);
    return *settings;
}

void writeJsonOutcome(QJsonObject fields, int status, const char* why, const std::vector<Message>& messages)
{
    QJsonArray texts;
    for (const Message& message : messages)
        texts.append(QString::fromStdString(message.text));
    fields.insert("exit_status", status);
    fields.insert("reason", why);
    fields.insert("messages", texts);
    std::fprintf(stdout, "%s\n", QJsonDocument(fields).toJson(QJsonDocument::Compact).constData());
}

void Answer::ending()
{
    if (json_)
        std::fprintf(stdout, "%s\n", QJsonDocument(json()).toJson(QJsonDocument::Compact).constData());
}

int SubCommand::refuse(const QString& fault) const
{
    std::fprintf(stderr, "travcard %s: %s\nUsage: travcard %s\n", qPrintable(name_), qPrintable(fault),
                 qPrintable(synopsis_));
    if (wantsJson())
        writeJsonOutcome({}, wrongCommandLine, reason::badOption,
                         {{"travcard " + name_.toStdString() + ": " + fault.toStdString(), MessageIcon::Critical}});
    return wrongCommandLine;
}

bool SubCommand::wantsJson() const
{
    for (const QString& argument : arguments_.mid(1)) {
        if (argument == "--")
            return false;
        if (argument == "--json" || argument == "-json")
            return true;
    }
    return false;
}

std::optional<std::int64_t> runOption(const SubCommand& command, const QCommandLineOption& option)
{
    const QString typed = command.parser().value(option);
    bool whole = !typed.isEmpty() && std::all_of(typed.begin(), typed.end(), [](QChar c) { return c >= '0' && c <= '9'; });
    const qint64 number = whole ? typed.toLongLong(&whole) : 0;
    return whole && number > 0 ? std::optional<std::int64_t>(number) : std::nullopt;
}

WatchedPrint::WatchedPrint() : progress_(std::make_shared<PrintProgress>())
{
    RunningPrint& running = runningPrint();
    const std::lock_guard lock(running.mutex);
    running.progress = progress_;
    if (running.stopAsked)
        progress_->cancel();
    waitTeller_ = std::jthread([progress = progress_](std::stop_token stop) {
        std::mutex mutex;
        std::condition_variable_any tick;
        bool told = false;
        std::unique_lock lock(mutex);
        for (;;) {
            tick.wait_for(lock, stop, std::chrono::milliseconds(200), [] { return false; });
            if (stop.stop_requested())
                return;
            const bool waiting = progress->waitingForPrinter();
            if (waiting && !told)
                StandardError().show(printerBusyElsewhere, MessageIcon::None);
            told = waiting;
        }
    });
}

WatchedPrint::~WatchedPrint()
{
    RunningPrint& running = runningPrint();
    const std::lock_guard lock(running.mutex);
    running.progress.reset();
}

OrderSelection orderSelection(const SubCommand& command, const OrderOptions& options)
{
    return selectOrder(command.value(options.order), command.value(options.location), command.value(options.suffix));
}

// The window's operation box: All, or the number typed.
std::string operationBoxText(const SubCommand& command, const OrderOptions& options)
{
    const std::string typed = command.value(options.operation);
    return QString::fromStdString(typed).trimmed().toLower() == "all" ? "All" : typed;
}

void expectPrinting(bool prints) { printing = prints; }

bool stopPrinting()
{
    if (!printing)
        return false;
    RunningPrint& running = runningPrint();
    const std::lock_guard lock(running.mutex);
    running.stopAsked = true;
    if (running.progress)
        running.progress->cancel();
    return true;
}

}  // namespace cli
