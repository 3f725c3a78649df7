#include "service/print_service.h"

#include "config/config_file.h"
#include "exactly_once/journal_recorder.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <cstdio>

namespace service {
namespace {

namespace asio = boost::asio;

int refuse(const std::string& why)
{
    std::fprintf(stderr, "travcard serve: %s\n", why.c_str());
    return nothingPrinted;
}

// SIGTERM or SIGINT stops the service gracefully, a second stops it at
// once; SIGHUP reads the tokens, the certificate and the key again.
void answerSignals(asio::signal_set& caught, PrintService& service, asio::io_context& io, int& stops)
{
    caught.async_wait([&caught, &service, &io, &stops](const boost::system::error_code& error, int number) {
        if (error)
            return;
        if (number == SIGHUP) {
            const std::optional<std::string> fault = service.reload();
            logLine(fault ? "the tokens file was not read again: " + *fault
                          : "read the tokens file, the certificate and the key again");
        } else {
            service.stop(++stops > 1, [&service, &io] {
                service.closeDoor();
                io.stop();
            });
        }
        answerSignals(caught, service, io, stops);
    });
}

}  // namespace

int serve(const std::string& programDir, const std::string& journalFile, const std::string& listen)
{
    std::variant<ServiceSettings, std::string> settings = loadServiceSettings(programDir, listen);
    if (const std::string* fault = std::get_if<std::string>(&settings))
        return refuse("the service does not start: " + *fault);
    if (const std::optional<std::string> fault = databaseLoginFault())
        return refuse("the service does not start: " + *fault);
    const ConfigValues values = parseConfig(readConfigFile(programDir + "/" + std::string(configFileName)).content);
    MessageList messages;
    // The login file's journal password is for the journal JOURNAL= names.
    const QString path =
        journalFile.empty() ? withJournalLogin(journalPath(values.journal)) : QString::fromStdString(journalFile);
    const std::shared_ptr<JournalAccess> journal = openJournal(path, journalDays(values.journalDays), messages);
    if (journal->off()) {
        for (const Message& message : messages.shown)
            refuse(message.text);
        return refuse("the service does not start: it needs the print journal to print each request once.");
    }
    HttpLimits limits;
    limits.maxConnections = connectionsTheDescriptorsAllow(limits.maxConnections);
    asio::io_context io;
    // Signals are taken before anything can arrive, so none ends the program unasked.
    asio::signal_set caught(io, SIGTERM, SIGINT, SIGHUP);
    const std::string listenedAt = std::get<ServiceSettings>(settings).listen.host.toString().toStdString();
    PrintService service(io, std::get<ServiceSettings>(std::move(settings)), journal, std::chrono::seconds(30), limits);
    if (const std::optional<std::string> error = service.start())
        return refuse("the service does not start: it cannot listen on " + listenedAt + ": " + *error);
    std::fprintf(stderr, "travcard serve: listening on port %u, journal %s\n", service.port(),
                 qPrintable(journalDisplayName(journal->path())));
    logLine("the database login: " + databaseLoginSource());
    int stops = 0;
    answerSignals(caught, service, io, stops);
    io.run();
    logLine("stopped");
    return allSent;
}

int serveCommand(const QStringList& arguments, const std::string& programDir)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption journal("journal", "The print journal (default: JOURNAL= in travcard.cfg).", "path");
    const QCommandLineOption listen("listen", "Where to listen (default: SERVICE_LISTEN=, or 127.0.0.1:8631).",
                                    "host:port");
    const QCommandLineOption database("database-if-present",
                                      "The database login file, read in place of DATABASE= in travcard.cfg "
                                      "when it exists.",
                                      "path");
    parser.addHelpOption();
    parser.addOptions({journal, listen, database});
    const char* usage = "Usage: travcard serve [--journal PATH] [--listen HOST:PORT] [--database-if-present PATH]\n";
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "travcard serve: %s\n%s",
                     qPrintable(parser.errorText().isEmpty() ? "unexpected argument" : parser.errorText()), usage);
        return wrongCommandLine;
    }
    if (parser.isSet("help")) {
        std::fputs(usage, stdout);
        return allSent;
    }
    if (parser.isSet(database))
        preferDatabaseLoginFile(parser.value(database).toStdString());
    return serve(programDir, parser.value(journal).toStdString(), parser.value(listen).toStdString());
}

}  // namespace service
