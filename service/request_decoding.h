#pragma once
// The bodies of the service's requests, read into the commands' requests.
// Every field is checked for its type and its range here, before anything
// is claimed or queued; what is not accepted is refused with the command
// line's reason and a sentence that names the field.

#include "commands/unattended.h"
#include "service/service_settings.h"

#include <QByteArray>

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace service {

inline constexpr qsizetype maxBodyBytes = 64 * 1024;

// An answer of the service other than 2xx, before any work.
struct Refusal {
    int httpStatus = 400;
    std::string reason;
    std::string message;
};

// POST /v1/print and /v1/nested.
struct PrintAsk {
    OrderAsk order;
    std::string printerName;
    std::optional<NestedTexts> nested;  // the nested-part card's fields
};
std::variant<PrintAsk, Refusal> decodePrint(const QByteArray& body, const NamedPrinters& printers, bool nested);

// POST /v1/runs/{run}/rest.
struct RestAsk {
    InDoubt inDoubt = InDoubt::Unsaid;
    std::string printerName;
    PrinterSettings printer;
};
std::variant<RestAsk, Refusal> decodeRest(const QByteArray& body, const NamedPrinters& printers);

// POST /v1/runs/{run}/reprint: tickets by position, or an operation's cards.
struct ReprintAsk {
    std::optional<std::vector<int>> tickets;
    std::string operation;
    int copies = 1;
    std::string printerName;
    PrinterSettings printer;
    std::optional<std::string> requestId{};  // optional here: a reprint asks to print again
};
std::variant<ReprintAsk, Refusal> decodeReprint(const QByteArray& body, const NamedPrinters& printers);

// A run number in a path: a whole number from 1, in digits.
std::optional<std::int64_t> runNumber(const QString& text);

}  // namespace service
