#include "app/command_line.h"

#include "cli/sub_commands.h"
#include "service/print_service.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

constexpr int kAnswered = 0;
constexpr int kWrongCommandLine = cli::wrongCommandLine;

constexpr const char* kUsage =
    "Usage: travcard [--help | --version]\n"
    "       travcard COMMAND [OPTIONS...]\n";
constexpr const char* kWhatItDoes =
    "Looks up a shop order in the ERP database (ODBC data source xfODBC) and\n"
    "prints its move tickets to a Zebra label printer or an EPSON printer.\n"
    "The printer is named in travcard.cfg beside the program; an installed\n"
    "travcard reads /etc/travcard/travcard.cfg. See travcard(1).\n";

// Every command the program runs: those of the command line and serve.
struct Command {
    const char* name;
    const char* whatItDoes;
};
constexpr Command kCommands[] = {
    {"print", "Locate a shop order and print its move tickets."},
    {"nested", "Print the nested-part card of an operation (Zebra only)."},
    {"rest", "Print the tickets of a run that the printer did not confirm."},
    {"reprint", "Print chosen tickets of a run again, as a new run."},
    {"history", "List the print journal's runs, or one run with its tickets."},
    {"setup-printer", "Send the printer its page-length command."},
    {"check-printer", "Ask the printer whether it can take a job now; prints nothing."},
    {"cancel", "Stop a run of the journal, here or in another program."},
    {"journal", "Copy a station's journal into the plant's one on a server."},
    {"serve", "Run the print service: these commands over HTTP, for the ERP."},
};

QString commandList()
{
    QString list = "Commands (travcard COMMAND --help lists a command's options):\n";
    for (const Command& command : kCommands)
        list += QString("  %1  %2\n").arg(QString(command.name), -13).arg(command.whatItDoes);
    return list;
}

// Qt's help text names the program by the path it was started from; the
// usage line names it as it is typed. Its options follow the commands.
QString helpText(const QCommandLineParser& parser)
{
    const QString text = parser.helpText();
    return kUsage + QString(kWhatItDoes) + "\n" + commandList() + "\n" + text.mid(text.indexOf("Options:"));
}

int refuse(const QString& fault)
{
    std::fprintf(stderr, "travcard: %s\n%s%s", qPrintable(fault), kUsage, qPrintable(commandList()));
    return kWrongCommandLine;
}

}  // namespace

std::optional<int> answerCommandLine(int& argc, char* argv[], const std::function<void()>& beforeSubCommand)
{
    const QCoreApplication reader(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption help({"h", "help"}, "Print this help and exit.");
    const QCommandLineOption version({"v", "version"}, "Print the version and exit.");
    parser.addOptions({help, version});
    // Qt's own -platform, -style ... are refused by their names, not letter by letter.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    // What follows a sub-command will be that command's own arguments.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);

    if (!parser.parse(QCoreApplication::arguments()))
        return refuse(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(qPrintable(helpText(parser)), stdout);
        return kAnswered;
    }
    if (parser.isSet(version)) {
        std::puts("travcard " TRAVCARD_VERSION);
        return kAnswered;
    }
    const QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return std::nullopt;
    const QString programDir = QCoreApplication::applicationDirPath();
    if (words.front() == "serve")
        return service::serveCommand(QStringList{QCoreApplication::arguments().front()} + words.mid(1),
                                     programDir.toStdString());
    if (!cli::isSubCommand(words.front()))
        return refuse(QString("unknown command '%1'").arg(words.front()));
    beforeSubCommand();
    return cli::runSubCommand(QStringList{QCoreApplication::arguments().front()} + words, {programDir.toStdString()});
}
