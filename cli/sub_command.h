#pragma once
// What the sub-commands share: their options, the parser that answers a
// wrong command line with the usage, messages on standard error, the exit
// status and --json of a print run, and the run of a print command.

#include "cli/sub_commands.h"
#include "commands/commands.h"
#include "commands/order_run.h"
#include "commands/print_run.h"
#include "commands/unattended.h"
#include "exactly_once/answer.h"

#include <QCommandLineParser>
#include <QJsonObject>
#include <QEventLoop>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace cli {

inline constexpr const char* commandLineSource = "command line";


// Writes one JSON object to standard output: fields, then exit_status,
// reason and the messages shown.
void writeJsonOutcome(QJsonObject fields, int status, const char* why, const std::vector<Message>& messages);

// The options of the commands that print an order, as the main window's boxes.
struct OrderOptions {
    QCommandLineOption location{"location", "Location (Location: box), such as ST.", "code"};
    QCommandLineOption order{"order", "Shop order number (Shop Order: box).", "number"};
    QCommandLineOption suffix{"suffix", "Suffix (default 0).", "number", "0"};
    QCommandLineOption operation{"operation", "Operation number, or all (default).", "number|all", "all"};
    QCommandLineOption quantity{"quantity", "Quantity to print (default 1).", "number", "1"};
};

struct PrinterOptions {
    QCommandLineOption printer{"printer", "Printer, as PRINTER= in travcard.cfg (the default).", "name"};
    QCommandLineOption type{"type", "zebra or epson (default: PRTTYPE= in travcard.cfg).", "type"};
    QCommandLineOption dpi{"dpi", "A Zebra printer's resolution: 203, 300, 600 or auto (default: DPI= in travcard.cfg).",
                           "dpi"};
    bool takesDpi = true;  // false where nothing is laid out: the parser has no --dpi then
};

// Messages go to standard error as one line each, the fixed text first.
class StandardError : public MessageBox {
public:
    void show(const std::string& text, MessageIcon) override
    {
        std::string line = text;
        for (char& c : line)
            c = c == '\n' ? ' ' : c;
        std::fprintf(stderr, "%s\n", line.c_str());
    }
};

// How a sub-command answers its caller: each message on standard error
// and, with --json, one JSON object on standard output as it ends.
class Answer : public ::Answer {
public:
    explicit Answer(bool json, QJsonObject base = {}) : ::Answer(std::move(base), &standardError_), json_(json) {}

private:
    void ending() override;

    StandardError standardError_;
    bool json_;
};

class SubCommand {
public:
    SubCommand(const QString& name, const QString& synopsis, const QStringList& arguments)
        : name_(name), synopsis_(synopsis), arguments_(arguments)
    {
        parser_.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser_.addHelpOption();
    }

    QCommandLineParser& parser() { return parser_; }
    const QCommandLineParser& parser() const { return parser_; }

    // False, with the usage written, when the command line is wrong or asked for help.
    std::optional<int> parse(const std::vector<const QCommandLineOption*>& required)
    {
        if (!parser_.parse(arguments_))
            return refuse(parser_.errorText());
        if (parser_.isSet("help")) {
            std::fprintf(stdout, "Usage: travcard %s\n%s", qPrintable(synopsis_),
                         qPrintable(optionsHelp()));
            return allSent;
        }
        if (!parser_.positionalArguments().isEmpty())
            return refuse("unexpected argument '" + parser_.positionalArguments().front() + "'");
        for (const QCommandLineOption* option : required)
            if (!parser_.isSet(*option))
                return refuse("--" + option->names().front() + " is required");
        return std::nullopt;
    }

    std::string value(const QCommandLineOption& option) const { return parser_.value(option).toStdString(); }

    // Whether the caller asked for --json, even on a command line that is
    // otherwise wrong.
    bool wantsJson() const;

    // A wrong command line: the fault and the usage, exit status 2.
    int refuse(const QString& fault) const;

private:

    QString optionsHelp() const
    {
        const QString text = parser_.helpText();
        const qsizetype options = text.indexOf("Options:");
        return options < 0 ? QString() : text.mid(options);
    }

    QString name_;
    QString synopsis_;
    QStringList arguments_;
    QCommandLineParser parser_;
};

// The printer travcard.cfg names, as the options change it. Nothing, with
// the message shown, when the configuration or a value is not accepted.
std::optional<PrinterSettings> printerSettings(const SubCommand& command, const PrinterOptions& options,
                                               const Environment& environment, MessageBox& messages);
// The same, answered when it is refused: the printer, or the exit status.
std::variant<PrinterSettings, int> printerSettings(const SubCommand& command, const PrinterOptions& options,
                                                   const Environment& environment, Answer& answer);

// The run number an option gives: a whole number from 1.
std::optional<std::int64_t> runOption(const SubCommand& command, const QCommandLineOption& option);

// Whether the sub-command that runs prints: a signal then stops it.
void expectPrinting(bool prints);

// A print run of the command line: the progress that a signal cancels.
class WatchedPrint {
public:
    WatchedPrint();
    ~WatchedPrint();
    WatchedPrint(const WatchedPrint&) = delete;
    WatchedPrint& operator=(const WatchedPrint&) = delete;
    std::shared_ptr<PrintProgress> progress() const { return progress_; }

private:
    std::shared_ptr<PrintProgress> progress_;
    // Says on standard error why the print waits while another station holds the printer.
    std::jthread waitTeller_;
};

OrderSelection orderSelection(const SubCommand& command, const OrderOptions& options);

// The window's operation box: All, or the number typed.
std::string operationBoxText(const SubCommand& command, const OrderOptions& options);

// The sub-commands.
int print(const QStringList& arguments, const Environment& environment);
int nested(const QStringList& arguments, const Environment& environment);
int setupPrinter(const QStringList& arguments, const Environment& environment);
int checkPrinter(const QStringList& arguments, const Environment& environment);
int rest(const QStringList& arguments, const Environment& environment);
int reprint(const QStringList& arguments, const Environment& environment);
int history(const QStringList& arguments, const Environment& environment);
int cancel(const QStringList& arguments, const Environment& environment);
int journal(const QStringList& arguments, const Environment& environment);

}  // namespace cli
