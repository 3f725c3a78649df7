#pragma once
// What the sub-commands share: their options, the parser that answers a
// wrong command line with the usage, messages on standard error, the exit
// status and --json of a print run, and the run of a print command.

#include "cli/sub_commands.h"
#include "commands/commands.h"
#include "commands/print_run.h"

#include <QCommandLineParser>
#include <QJsonObject>
#include <QEventLoop>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace cli {

inline constexpr const char* commandLineSource = "command line";

// Why a sub-command ended as it did: the stable reason of its --json answer.
namespace reason {
inline constexpr const char* printed = "printed";
inline constexpr const char* alreadyPrinted = "already_printed";
inline constexpr const char* ready = "ready";
inline constexpr const char* listed = "listed";
inline constexpr const char* badOption = "bad_option";
inline constexpr const char* badQuantity = "bad_quantity";
inline constexpr const char* badRequestId = "bad_request_id";
inline constexpr const char* notFound = "not_found";
inline constexpr const char* nothingToPrint = "nothing_to_print";
inline constexpr const char* databaseUnreachable = "database_unreachable";
inline constexpr const char* printerUnavailable = "printer_unavailable";
inline constexpr const char* printerNotReady = "printer_not_ready";
inline constexpr const char* stopped = "stopped";
inline constexpr const char* inDoubtUnresolved = "in_doubt_unresolved";
inline constexpr const char* requestInProgress = "request_in_progress";
inline constexpr const char* requestConflict = "request_conflict";
inline constexpr const char* restTaken = "rest_taken";
inline constexpr const char* journalUnusable = "journal_unusable";
inline constexpr const char* configUnusable = "config_unusable";
}  // namespace reason

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
};

// Messages go to standard error as one line each, the fixed text first.
class StandardError : public MessageBox {
public:
    void show(const std::string& text, MessageIcon icon) override
    {
        std::string line = text;
        for (char& c : line)
            c = c == '\n' ? ' ' : c;
        std::fprintf(stderr, "%s\n", line.c_str());
        shown.push_back({text, icon});
    }
    std::vector<Message> shown;
};

// How a sub-command answers its caller: each message on standard error
// and, with --json, one JSON object on standard output as it ends.
class Answer {
public:
    // Every JSON answer holds the fields of base that fields does not set.
    explicit Answer(bool json, QJsonObject base = {}) : json_(json), base_(std::move(base)) {}

    StandardError messages;

    // Ends with status and why: the JSON object holds fields, then
    // exit_status, reason and the messages shown.
    int end(int status, const char* why, QJsonObject fields = {});
    // Shows text first.
    int refuse(const std::string& text, int status, const char* why, MessageIcon icon = MessageIcon::Critical);

private:
    bool json_;
    QJsonObject base_;
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

int exitStatus(PrintEnding outcome);
const char* outcomeName(PrintEnding outcome);

// The journal's record of a run, read afresh; nothing without a journal.
std::optional<RunRecord> recordOf(const std::shared_ptr<JournalAccess>& journal, std::int64_t run);

// A print run's fields of a JSON answer: run, planned, sent, in_doubt, outcome.
QJsonObject runFields(const char* outcome, const TicketCount& tickets, const std::optional<RunRecord>& record);
// The fields of an answer that printed nothing: no run, nothing planned.
QJsonObject noRunFields(const char* outcome = "refused");

// A whole number from 1 to most, as a script must write it: digits only.
std::optional<int> strictCount(const QString& typed, int most);
inline constexpr int maxQuantity = 32767;

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
};

// Runs one print command against the database: opens it, locates the order
// as Locate does, then print(commands, header, progress).
class OrderRun {
public:
    explicit OrderRun(const Environment& environment);

    Commands& commands() { return commands_; }

    // The order's header, or the exit status, answered.
    std::variant<OrderHeader, int> locate(const OrderSelection& order, Answer& answer);

    template <class Result>
    Result await(const std::function<bool(std::function<void(Result)>)>& start)
    {
        std::optional<Result> outcome;
        QEventLoop loop;
        if (start([&](Result result) {
                outcome = std::move(result);
                loop.quit();
            }))
            loop.exec();
        return std::move(*outcome);
    }

private:
    QObject receiver_;
    Commands commands_;
};

OrderSelection orderSelection(const SubCommand& command, const OrderOptions& options);

// The window's operation box: All, or the number typed.
std::string operationBoxText(const SubCommand& command, const OrderOptions& options);

// How a print run ended, for its caller.
struct RunEnding {
    int status;
    const char* reason;
};
RunEnding runEnding(PrintEnding outcome, bool journalRefused, const TicketCount& tickets);

template <class Result>
int finishRun(const Result& result, const std::optional<RunRecord>& record, Answer& answer)
{
    const RunEnding ending = runEnding(result.outcome, result.journalRefused, result.tickets);
    return answer.end(ending.status, ending.reason, runFields(outcomeName(result.outcome), result.tickets, record));
}

// The sub-commands.
int print(const QStringList& arguments, const Environment& environment);
int nested(const QStringList& arguments, const Environment& environment);
int setupPrinter(const QStringList& arguments, const Environment& environment);
int checkPrinter(const QStringList& arguments, const Environment& environment);
int rest(const QStringList& arguments, const Environment& environment);
int reprint(const QStringList& arguments, const Environment& environment);
int history(const QStringList& arguments, const Environment& environment);

}  // namespace cli
