#pragma once
// What the print service is configured with, read from travcard.cfg and the
// tokens file at its start: where it listens, the printers it prints to by
// name, and who may call it. A fault is a sentence the service says as it
// refuses to start.

#include "printing/printer_settings.h"

#include <QHostAddress>
#include <QString>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace service {

inline constexpr const char* defaultListen = "127.0.0.1:8631";
inline constexpr const char* defaultTokensFile = "/etc/travcard/service-tokens";
inline constexpr const char* defaultPrinterName = "default";

struct ListenAddress {
    QHostAddress host;
    quint16 port = 0;
};

// HOST:PORT, [IPv6]:PORT; a name is not looked up, so that the service
// listens exactly where it was told.
std::variant<ListenAddress, std::string> parseListen(const std::string& text);

// The printers by name: PRINTER= as "default", then SERVICE_PRINTERS=
// pairs NAME=DESTINATION separated by spaces. Names are 1 to 32 letters,
// digits, '-' or '_'.
using NamedPrinters = std::map<std::string, PrinterSettings>;
std::variant<NamedPrinters, std::string> namedPrinters(const PrinterSettings& configured, const std::string& list);

// One caller: the name the journal records as the run's user, and its token.
struct Caller {
    std::string name;
    std::string token;
};

// The tokens file: a name, a space, the token on each line; '#' starts a
// comment. A token is at least 16 characters.
std::variant<std::vector<Caller>, std::string> parseTokens(std::string_view content);

// The caller whose token this is. Every token is compared, each in time
// that depends on neither's content, so the answer's time tells nothing of
// how close a guess came.
std::optional<std::string> callerOf(const std::vector<Caller>& callers, std::string_view token);

struct ServiceSettings {
    ListenAddress listen;
    NamedPrinters printers;
    std::vector<Caller> callers;
    QString certificate, key;  // PEM files; both empty on a loopback address
};

// Everything from travcard.cfg in programDir (and listenOverride, when
// given, for SERVICE_LISTEN=). A fault when anything is missing or wrong,
// and for a non-loopback address without a certificate and key.
std::variant<ServiceSettings, std::string> loadServiceSettings(const std::string& programDir,
                                                               const std::string& listenOverride);

}  // namespace service
