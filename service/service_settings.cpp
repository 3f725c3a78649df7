#include "service/service_settings.h"

#include "commands/startup.h"
#include "config/config_file.h"

#include <QCryptographicHash>
#include <QFile>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace service {
namespace {

bool isPrinterName(std::string_view name)
{
    return !name.empty() && name.size() <= 32 && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_';
    });
}

std::vector<std::string_view> words(std::string_view text)
{
    std::vector<std::string_view> found;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t start = text.find_first_not_of(" \t", at);
        if (start == std::string_view::npos)
            break;
        const std::size_t end = std::min(text.find_first_of(" \t", start), text.size());
        found.push_back(text.substr(start, end - start));
        at = end;
    }
    return found;
}

std::string readError(const QFile& file) { return file.errorString().toStdString(); }

}  // namespace

std::variant<ListenAddress, std::string> parseListen(const std::string& text)
{
    const std::string fault = "SERVICE_LISTEN=" + text + " is not an address and port, such as 127.0.0.1:8631.";
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return fault;
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string portText = text.substr(colon + 1);
    if (portText.empty() || portText.size() > 5 ||
        !std::all_of(portText.begin(), portText.end(), [](unsigned char c) { return std::isdigit(c); }))
        return fault;
    const int port = std::stoi(portText);
    ListenAddress address;
    if (port > 65535 || !address.host.setAddress(QString::fromStdString(host)))
        return fault;
    address.port = static_cast<quint16>(port);
    return address;
}

std::variant<NamedPrinters, std::string> namedPrinters(const PrinterSettings& configured, const std::string& list)
{
    NamedPrinters printers{{defaultPrinterName, configured}};
    for (const std::string_view pair : words(list)) {
        const std::size_t equals = pair.find('=');
        const std::string_view name = pair.substr(0, std::min(equals, pair.size()));
        if (equals == std::string_view::npos || equals + 1 == pair.size() || !isPrinterName(name))
            return "SERVICE_PRINTERS= takes NAME=DESTINATION pairs, names of letters, digits, - and _: " +
                   std::string(pair) + " is not one.";
        if (printers.contains(std::string(name)))
            return "SERVICE_PRINTERS= names the printer " + std::string(name) + " twice.";
        PrinterSettings printer = configured;
        printer.name = std::string(pair.substr(equals + 1));
        printers.emplace(std::string(name), printer);
    }
    return printers;
}

std::variant<std::vector<Caller>, std::string> parseTokens(std::string_view content)
{
    std::vector<Caller> callers;
    int number = 0;
    for (std::string_view line : splitConfigLines(content)) {
        ++number;
        line = line.substr(0, std::min(line.find('#'), line.size()));
        const std::vector<std::string_view> parts = words(line);
        if (parts.empty())
            continue;
        if (parts.size() != 2 || parts[1].size() < 16)
            return "Line " + std::to_string(number) +
                   " of the tokens file is not a name, a space and a token of at least 16 characters.";
        callers.push_back({std::string(parts[0]), std::string(parts[1])});
    }
    if (callers.empty())
        return "The tokens file names no caller, so nobody could call the service.";
    return callers;
}

std::optional<std::string> callerOf(const std::vector<Caller>& callers, std::string_view token)
{
    // Digests have one length whatever the token's, and are compared byte
    // by byte to the end.
    const auto digest = [](std::string_view text) {
        return QCryptographicHash::hash(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())),
                                        QCryptographicHash::Sha256);
    };
    const QByteArray given = digest(token);
    std::optional<std::string> found;
    for (const Caller& caller : callers) {
        const QByteArray known = digest(caller.token);
        unsigned char difference = 0;
        for (qsizetype i = 0; i < known.size(); ++i)
            difference |= static_cast<unsigned char>(known[i] ^ given[i]);
        if (difference == 0 && !found)
            found = caller.name;
    }
    return found;
}

std::variant<ServiceSettings, std::string> loadServiceSettings(const std::string& programDir,
                                                               const std::string& listenOverride)
{
    MessageList messages;
    const std::optional<PrinterSettings> configured = loadPrinterSettings(programDir, messages);
    if (!configured)
        return messages.shown.empty() ? std::string("travcard.cfg cannot be used.") : messages.shown.front().text;
    const ConfigValues values =
        parseConfig(readConfigFile(programDir + "/" + std::string(configFileName)).content);
    ServiceSettings settings;
    const std::string listen =
        !listenOverride.empty() ? listenOverride : values.serviceListen.empty() ? defaultListen : values.serviceListen;
    std::variant<ListenAddress, std::string> address = parseListen(listen);
    if (const std::string* fault = std::get_if<std::string>(&address))
        return *fault;
    settings.listen = std::get<ListenAddress>(address);
    settings.certificate = QString::fromStdString(values.serviceCert);
    settings.key = QString::fromStdString(values.serviceKey);
    if (!settings.listen.host.isLoopback() && (settings.certificate.isEmpty() || settings.key.isEmpty()))
        return "The service would listen on " + listen +
               ", which other machines reach, without TLS: set SERVICE_CERT= and SERVICE_KEY= in travcard.cfg, "
               "or listen on 127.0.0.1.";
    std::variant<NamedPrinters, std::string> printers = namedPrinters(*configured, values.servicePrinters);
    if (const std::string* fault = std::get_if<std::string>(&printers))
        return *fault;
    settings.printers = std::get<NamedPrinters>(std::move(printers));
    const QString tokensPath =
        QString::fromStdString(values.serviceTokens.empty() ? defaultTokensFile : values.serviceTokens);
    QFile tokens(tokensPath);
    if (!tokens.open(QIODevice::ReadOnly))
        return "The tokens file " + tokensPath.toStdString() + " cannot be read: " + readError(tokens);
    const QByteArray content = tokens.read(1 << 20);
    std::variant<std::vector<Caller>, std::string> callers = parseTokens(content.toStdString());
    if (const std::string* fault = std::get_if<std::string>(&callers))
        return tokensPath.toStdString() + ": " + *fault;
    settings.callers = std::get<std::vector<Caller>>(std::move(callers));
    return settings;
}

}  // namespace service
