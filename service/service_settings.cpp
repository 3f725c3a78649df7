#include "service/service_settings.h"

#include "commands/startup.h"
#include "config/config_file.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include <netdb.h>
#include <sys/socket.h>

namespace service {
namespace {

bool isPrinterName(std::string_view name)
{
    return !name.empty() && name.size() <= 32 && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_';
    });
}

bool isHostName(std::string_view name)
{
    return !name.empty() && name.size() <= 253 && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '.' || c == '_';
    });
}

// The first address of name, an IPv4 one when it has both: localhost is
// 127.0.0.1 wherever ::1 is listed first.
std::variant<QHostAddress, std::string> resolve(const std::string& name)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int error = ::getaddrinfo(name.c_str(), nullptr, &hints, &found); error != 0)
        return std::string(::gai_strerror(error));
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, ::freeaddrinfo);
    const addrinfo* chosen = found;
    for (const addrinfo* entry = found; entry; entry = entry->ai_next)
        if (entry->ai_family == AF_INET) {
            chosen = entry;
            break;
        }
    QHostAddress address(chosen->ai_addr);
    if (address.isNull())
        return std::string("no IPv4 or IPv6 address");
    return address;
}

}  // namespace

std::variant<ListenAddress, std::string> parseListen(const std::string& text)
{
    const std::string fault =
        "SERVICE_LISTEN=" + text + " is not an address or host name and a port, such as 127.0.0.1:8631.";
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return fault;
    std::string host = text.substr(0, colon);
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    if (bracketed)
        host = host.substr(1, host.size() - 2);
    const std::string portText = text.substr(colon + 1);
    if (portText.empty() || portText.size() > 5 ||
        !std::all_of(portText.begin(), portText.end(), [](unsigned char c) { return std::isdigit(c); }))
        return fault;
    const int port = std::stoi(portText);
    if (port > 65535)
        return fault;
    ListenAddress address;
    address.port = static_cast<quint16>(port);
    if (address.host.setAddress(QString::fromStdString(host)))
        return address;
    if (bracketed || !isHostName(host))
        return fault;
    std::variant<QHostAddress, std::string> resolved = resolve(host);
    if (const std::string* error = std::get_if<std::string>(&resolved))
        return "SERVICE_LISTEN=" + text + " names the host " + host + ", which has no address here: " + *error + ".";
    address.host = std::get<QHostAddress>(resolved);
    return address;
}

std::variant<NamedPrinters, std::string> namedPrinters(const PrinterSettings& configured, const std::string& list)
{
    NamedPrinters printers{{defaultPrinterName, configured}};
    for (const std::string_view pair : splitWords(list)) {
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
    if (!values.serviceKey.empty())
        if (std::optional<std::string> fault = secretFileFault(values.serviceKey, "the TLS key"))
            return *std::move(fault);
    if (!settings.listen.host.isLoopback() && (settings.certificate.isEmpty() || settings.key.isEmpty()))
        return "The service would listen on " + listen +
               ", which other machines reach, without TLS: set SERVICE_CERT= and SERVICE_KEY= in travcard.cfg, "
               "or listen on 127.0.0.1.";
    std::variant<NamedPrinters, std::string> printers = namedPrinters(*configured, values.servicePrinters);
    if (const std::string* fault = std::get_if<std::string>(&printers))
        return *fault;
    settings.printers = std::get<NamedPrinters>(std::move(printers));
    settings.tokensFile = values.serviceTokens.empty() ? defaultTokensFile : values.serviceTokens;
    std::variant<std::vector<Caller>, std::string> callers = loadCallers(settings.tokensFile);
    if (const std::string* fault = std::get_if<std::string>(&callers))
        return *fault;
    settings.callers = std::get<std::vector<Caller>>(std::move(callers));
    return settings;
}

}  // namespace service
