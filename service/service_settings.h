#pragma once
// What the print service is configured with, read from travcard.cfg and the
// tokens file at its start: where it listens, the printers it prints to by
// name, and who may call it. A fault is a sentence the service says as it
// refuses to start.

#include "printing/printer_settings.h"
#include "service/callers.h"

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

// ADDRESS:PORT, [IPv6]:PORT or NAME:PORT. A name is looked up once, here,
// and the service listens on its first address, an IPv4 one when it has
// both (localhost is 127.0.0.1).
std::variant<ListenAddress, std::string> parseListen(const std::string& text);

// The printers by name: PRINTER= as "default", then SERVICE_PRINTERS=
// pairs NAME=DESTINATION separated by spaces. Names are 1 to 32 letters,
// digits, '-' or '_'.
using NamedPrinters = std::map<std::string, PrinterSettings>;
std::variant<NamedPrinters, std::string> namedPrinters(const PrinterSettings& configured, const std::string& list);

struct ServiceSettings {
    ListenAddress listen;
    NamedPrinters printers;
    std::string tokensFile;  // read again on SIGHUP
    std::vector<Caller> callers;
    QString certificate, key;  // PEM files; both empty on a loopback address
};

// Everything from travcard.cfg in programDir (and listenOverride, when
// given, for SERVICE_LISTEN=). A fault when anything is missing or wrong,
// for a non-loopback address without a certificate and key, and for a key
// file or tokens file that others could read or change.
std::variant<ServiceSettings, std::string> loadServiceSettings(const std::string& programDir,
                                                               const std::string& listenOverride);

}  // namespace service
