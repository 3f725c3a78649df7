#include "service/print_service.h"

#include "commands/journal_recorder.h"
#include "config/config_file.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace service {
namespace {

int signalPipe[2] = {-1, -1};

// SIGTERM and SIGINT only write a byte: the service's thread stops it.
void stopOnSignals(PrintService& service)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    struct sigaction action {};
    action.sa_handler = [](int) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
    };
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    auto* notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, &service);
    QObject::connect(notifier, &QSocketNotifier::activated, &service, [&service, notifier] {
        char byte = 0;
        [[maybe_unused]] const ssize_t read = ::read(signalPipe[1], &byte, 1);
        notifier->setEnabled(false);
        service.stop([] { QCoreApplication::quit(); });
    });
}

int refuse(const std::string& why)
{
    std::fprintf(stderr, "travcard serve: %s\n", why.c_str());
    return nothingPrinted;
}

}  // namespace

int serve(const std::string& programDir, const std::string& journalFile, const std::string& listen)
{
    std::variant<ServiceSettings, std::string> settings = loadServiceSettings(programDir, listen);
    if (const std::string* fault = std::get_if<std::string>(&settings))
        return refuse("the service does not start: " + *fault);
    const ConfigValues values = parseConfig(readConfigFile(programDir + "/" + std::string(configFileName)).content);
    MessageList messages;
    const QString path = journalFile.empty() ? journalPath(values.journal) : QString::fromStdString(journalFile);
    const std::shared_ptr<JournalAccess> journal = openJournal(path, journalDays(values.journalDays), messages);
    if (journal->off()) {
        for (const Message& message : messages.shown)
            refuse(message.text);
        return refuse("the service does not start: it needs the print journal to print each request once.");
    }
    PrintService service(std::get<ServiceSettings>(std::move(settings)), journal, std::chrono::seconds(30));
    if (const std::optional<QString> error = service.start())
        return refuse("the service does not start: it cannot listen on " +
                      std::get<ServiceSettings>(settings).listen.host.toString().toStdString() + ": " +
                      error->toStdString());
    std::fprintf(stderr, "travcard serve: listening on port %u, journal %s\n", service.port(),
                 qPrintable(journal->path()));
    stopOnSignals(service);
    QCoreApplication::exec();
    std::fprintf(stderr, "travcard serve: stopped\n");
    return allSent;
}

int serveCommand(const QStringList& arguments, const std::string& programDir)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption journal("journal", "The print journal (default: JOURNAL= in travcard.cfg).", "path");
    const QCommandLineOption listen("listen", "Where to listen (default: SERVICE_LISTEN=, or 127.0.0.1:8631).",
                                    "host:port");
    parser.addHelpOption();
    parser.addOptions({journal, listen});
    const char* usage = "Usage: travcard serve [--journal PATH] [--listen HOST:PORT]\n";
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "travcard serve: %s\n%s",
                     qPrintable(parser.errorText().isEmpty() ? "unexpected argument" : parser.errorText()), usage);
        return wrongCommandLine;
    }
    if (parser.isSet("help")) {
        std::fputs(usage, stdout);
        return allSent;
    }
    return serve(programDir, parser.value(journal).toStdString(), parser.value(listen).toStdString());
}

}  // namespace service
