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
    "       travcard print --location ST --order N [--suffix N] [--operation N|all] [--quantity N]\n"
    "                      [--printer NAME] [--type zebra|epson] [--request-id ID] [--json]\n"
    "       travcard nested --location ST --order N --suffix N --operation N --quantity N --part P\n"
    "                       --nested-quantity N --customer C --dept D --comment TEXT [--json]\n"
    "       travcard history [--order N] [--since YYYY-MM-DD] [--json]\n"
    "       travcard setup-printer [--printer NAME] [--type zebra|epson]\n"
    "       travcard serve [--journal PATH] [--listen HOST:PORT]\n";
constexpr const char* kWhatItDoes =
    "Looks up a shop order in the ERP database (ODBC data source xfODBC) and\n"
    "prints its move tickets to a Zebra label printer or an EPSON printer.\n"
    "The printer is named in travcard.cfg beside the program; an installed\n"
    "travcard reads /etc/travcard/travcard.cfg. See travcard(1).\n";

// Qt's help text names the program by the path it was started from; the
// usage line names it as it is typed.
QString helpText(const QCommandLineParser& parser)
{
    const QString text = parser.helpText();
    return kUsage + text.mid(text.indexOf('\n') + 1);
}

int refuse(const QString& fault)
{
    std::fprintf(stderr, "travcard: %s\n%s%s", qPrintable(fault), kUsage, kWhatItDoes);
    return kWrongCommandLine;
}

}  // namespace

std::optional<int> answerCommandLine(int& argc, char* argv[], const std::function<void()>& beforeSubCommand)
{
    const QCoreApplication reader(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QString(kWhatItDoes).trimmed());
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
