// The print service's requests as a caller sends them: the same bytes as the
// body of a print, a nested card, a rest and a reprint, as a run number in a
// path, as the tokens file and as SERVICE_LISTEN=. What is accepted is within
// the commands' limits and names a printer the service has; what is not is
// a 4xx answer with a reason the API names and a sentence.

#include "fuzz/check.h"
#include "service/http_request.h"
#include "service/request_decoding.h"
#include "service/service_settings.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <set>

namespace {

using namespace service;

PrinterSettings printerAt(const std::string& destination, PrinterKind kind)
{
    PrinterSettings printer;
    printer.name = destination;
    printer.kind = kind;
    return printer;
}

const NamedPrinters& printers()
{
    static const NamedPrinters named{{"default", printerAt("/dev/null", PrinterKind::Zebra)},
                                     {"dock", printerAt("dock.out", PrinterKind::Epson)},
                                     {"proof", printerAt("preview:", PrinterKind::Zebra)}};
    return named;
}

bool allDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void checkRefusal(const Refusal& refusal)
{
    static const std::set<std::string> reasons{"bad_option",      "bad_quantity", "bad_request_id",
                                               "unknown_printer", "too_large",    "wrong_printer_type"};
    FUZZ_CHECK(refusal.httpStatus == 400 || refusal.httpStatus == 413);
    FUZZ_CHECK(reasons.contains(refusal.reason));
    FUZZ_CHECK(!refusal.message.empty());
}

// The printer named is one of the service's, as configured but for its language.
void checkPrinter(const std::string& name, const PrinterSettings& printer)
{
    const auto found = printers().find(name);
    FUZZ_CHECK(found != printers().end());
    FUZZ_CHECK(printer.name == found->second.name);
}

void checkPrint(const QByteArray& body, bool nested)
{
    const std::variant<PrintAsk, Refusal> decoded = decodePrint(body, printers(), nested);
    if (const Refusal* refused = std::get_if<Refusal>(&decoded))
        return checkRefusal(*refused);
    const PrintAsk& ask = std::get<PrintAsk>(decoded);
    checkPrinter(ask.printerName, ask.order.printer);
    FUZZ_CHECK(ask.order.printer.name != "preview:");

    FUZZ_CHECK(!ask.order.orderText.empty() && !ask.order.order.location.empty());
    FUZZ_CHECK(ask.order.requestId.has_value());
    const QString id = QString::fromStdString(*ask.order.requestId);
    const std::u32string points = id.toStdU32String();
    FUZZ_CHECK(points.size() >= 1 && points.size() <= 100);
    FUZZ_CHECK(std::all_of(points.begin(), points.end(), [](char32_t c) {
        return QChar::isPrint(c) && c != QChar::ReplacementCharacter && QChar::category(c) != QChar::Separator_Line &&
               QChar::category(c) != QChar::Separator_Paragraph;
    }));
    // Kept as sent but trimmed, as the other fields are: two ids never become
    // one unless they differ only in white space at either end.
    FUZZ_CHECK(id == QJsonDocument::fromJson(body).object().value("request_id").toString().trimmed());

    FUZZ_CHECK(allDigits(ask.order.quantity) && ask.order.quantity.size() <= 5);
    const int quantity = std::stoi(ask.order.quantity);
    FUZZ_CHECK(quantity >= 1 && quantity <= 32767);
    FUZZ_CHECK(ask.order.operation == "All" || (allDigits(ask.order.operation) && ask.order.operation.size() <= 9));
    FUZZ_CHECK(ask.nested.has_value() == nested);
    if (nested)
        FUZZ_CHECK(ask.order.operation != "All");
}

void checkRest(const QByteArray& body)
{
    const std::variant<RestAsk, Refusal> decoded = decodeRest(body, printers());
    if (const Refusal* refused = std::get_if<Refusal>(&decoded))
        return checkRefusal(*refused);
    const RestAsk& ask = std::get<RestAsk>(decoded);
    checkPrinter(ask.printerName, ask.printer);
    const QJsonValue said = QJsonDocument::fromJson(body).object().value("in_doubt");
    FUZZ_CHECK((ask.inDoubt == InDoubt::Unsaid) == (said.isUndefined() || said.isNull() || said.toString().isEmpty()));
}

void checkReprint(const QByteArray& body)
{
    const std::variant<ReprintAsk, Refusal> decoded = decodeReprint(body, printers());
    if (const Refusal* refused = std::get_if<Refusal>(&decoded))
        return checkRefusal(*refused);
    const ReprintAsk& ask = std::get<ReprintAsk>(decoded);
    checkPrinter(ask.printerName, ask.printer);
    FUZZ_CHECK(ask.copies >= 1 && ask.copies <= 999);
    if (ask.tickets) {
        FUZZ_CHECK(ask.operation.empty());
        FUZZ_CHECK(!ask.tickets->empty() && ask.tickets->size() <= 10'000);
        FUZZ_CHECK(std::all_of(ask.tickets->begin(), ask.tickets->end(), [](int at) { return at >= 1; }));
    }
}

void checkTokens(const std::string& content)
{
    const std::variant<std::vector<Caller>, std::string> parsed = parseTokens(content);
    if (const std::string* fault = std::get_if<std::string>(&parsed)) {
        FUZZ_CHECK(!fault->empty());
        return;
    }
    const std::vector<Caller>& callers = std::get<std::vector<Caller>>(parsed);
    FUZZ_CHECK(!callers.empty());
    for (const Caller& caller : callers) {
        FUZZ_CHECK(!caller.name.empty() && caller.token.size() >= 16);
        FUZZ_CHECK(caller.name.find_first_of(" \t") == std::string::npos && caller.name[0] != '#');
        FUZZ_CHECK(caller.token.find_first_of(" \t") == std::string::npos);
        FUZZ_CHECK(callerOf(callers, caller.token).has_value());
    }
    FUZZ_CHECK(!callerOf(callers, "").has_value());
}

// An address accepted is read the same once written out again.
void checkListen(const std::string& text)
{
    const std::variant<ListenAddress, std::string> parsed = parseListen(text);
    if (const std::string* fault = std::get_if<std::string>(&parsed)) {
        FUZZ_CHECK(!fault->empty());
        return;
    }
    const ListenAddress& address = std::get<ListenAddress>(parsed);
    FUZZ_CHECK(!address.host.isNull());
    const QString host = address.host.protocol() == QAbstractSocket::IPv6Protocol
                             ? "[" + address.host.toString() + "]"
                             : address.host.toString();
    const std::variant<ListenAddress, std::string> again =
        parseListen((host + ":" + QString::number(address.port)).toStdString());
    FUZZ_CHECK(std::holds_alternative<ListenAddress>(again));
    FUZZ_CHECK(std::get<ListenAddress>(again).host == address.host);
    FUZZ_CHECK(std::get<ListenAddress>(again).port == address.port);
}

// What a connection's bytes read as: the requests, and how the reading
// ended (0, or the status of the refusal).
struct Reading {
    std::vector<QByteArray> requests;
    int refused = 0;
};

// The bytes as they come, chunk bytes at a time, read as the door reads them.
Reading readRequests(std::string_view bytes, std::size_t chunk)
{
    const HttpLimits limits;
    RequestReader reader(limits);
    Reading reading;
    std::string buffer;
    std::size_t offered = 0;
    for (;;) {
        const std::size_t more = std::min(chunk, bytes.size() - offered);
        buffer.append(bytes.substr(offered, more));
        offered += more;
        const std::size_t used = reader.feed(buffer);
        FUZZ_CHECK(used <= buffer.size());
        buffer.erase(0, used);
        if (reader.state() == RequestReader::State::Refused) {
            const HttpAnswer& refusal = reader.refusal();
            FUZZ_CHECK(refusal.status == 400 || refusal.status == 411 || refusal.status == 413 ||
                       refusal.status == 431);
            FUZZ_CHECK(refusal.close);
            FUZZ_CHECK(!QJsonDocument::fromJson(refusal.body).object().value("message").toString().isEmpty());
            reading.refused = refusal.status;
            return reading;
        }
        if (reader.state() == RequestReader::State::Complete) {
            const HttpCall call = reader.take();
            FUZZ_CHECK(!call.method.isEmpty());
            FUZZ_CHECK(call.body.size() <= static_cast<qsizetype>(limits.maxBody));
            reading.requests.push_back(call.method + ' ' + call.path.toUtf8() + ' ' + call.authorization + ' ' +
                                       call.body);
            continue;
        }
        if (offered == bytes.size() && used == 0)
            return reading;
    }
}

// However the bytes are split as they come, they never read as other
// requests: one reading's requests begin the other's. (Where one stops may
// differ: the parser sees a malformed request line at once when it comes
// whole, and otherwise waits for the header block's end, to its limit or
// its deadline.)
void checkHttp(std::string_view bytes)
{
    const Reading whole = readRequests(bytes, bytes.size() + 1);
    const Reading split = readRequests(bytes, 1 + bytes.size() % 7);
    const std::size_t both = std::min(whole.requests.size(), split.requests.size());
    FUZZ_CHECK(std::equal(whole.requests.begin(), whole.requests.begin() + static_cast<std::ptrdiff_t>(both),
                          split.requests.begin()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    checkPrint(body, false);
    checkPrint(body, true);
    checkRest(body);
    checkReprint(body);

    const QString path = QString::fromUtf8(body);
    if (const std::optional<std::int64_t> run = runNumber(path)) {
        FUZZ_CHECK(*run > 0);
        FUZZ_CHECK(path.toLongLong() == *run);
    }

    checkHttp({reinterpret_cast<const char*>(data), size});
    checkTokens(body.toStdString());
    // A name would be looked up, by the resolver and perhaps the network.
    if (!body.isEmpty() && (body.front() == '[' || (body.front() >= '0' && body.front() <= '9')))
        checkListen(body.toStdString());
    return 0;
}
