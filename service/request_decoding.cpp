#include "service/request_decoding.h"

#include "exactly_once/request_id.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <algorithm>
#include <cmath>

namespace service {
namespace {

Refusal badField(const std::string& message, const char* why = reason::badOption)
{
    return {400, why, message};
}

// A JSON number that is a whole number from least to most.
std::optional<std::int64_t> wholeNumber(const QJsonValue& value, std::int64_t least, std::int64_t most)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::floor(number) != number || number < double(least) || number > double(most))
        return std::nullopt;
    return static_cast<std::int64_t>(number);
}

// The body as an object: a refusal when it is not one.
std::variant<QJsonObject, Refusal> objectOf(const QByteArray& body)
{
    if (body.size() > maxBodyBytes)
        return Refusal{413, "too_large", "The request's body is larger than 64 KB."};
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return badField("The body is not JSON: " + error.errorString().toStdString() + " at byte " +
                        std::to_string(error.offset) + ".");
    if (!document.isObject())
        return badField("The body is not a JSON object.");
    return document.object();
}

// A field of text (or, where numbers are allowed, a whole number written as text).
std::variant<std::string, Refusal> textField(const QJsonObject& object, const char* name, bool required,
                                             bool numbersToo, int longest = 200)
{
    const QJsonValue value = object.value(name);
    if (value.isUndefined() || value.isNull()) {
        if (required)
            return badField(std::string(name) + " is required.");
        return std::string();
    }
    if (value.isString()) {
        const QString text = value.toString();
        if (text.size() > longest)
            return badField(std::string(name) + " is longer than " + std::to_string(longest) + " characters.");
        return text.toStdString();
    }
    if (numbersToo)
        if (const std::optional<std::int64_t> number = wholeNumber(value, 0, 999'999'999'999))
            return std::to_string(*number);
    return badField(std::string(name) + (numbersToo ? " must be text or a whole number." : " must be text."));
}

// printer and type: a printer the service knows, in the language asked for.
std::variant<std::pair<std::string, PrinterSettings>, Refusal> printerField(const QJsonObject& object,
                                                                            const NamedPrinters& printers)
{
    std::variant<std::string, Refusal> name = textField(object, "printer", false, false, 64);
    if (Refusal* refused = std::get_if<Refusal>(&name))
        return *refused;
    std::string chosen = std::get<std::string>(name);
    if (chosen.empty())
        chosen = defaultPrinterName;
    const auto found = printers.find(chosen);
    if (found == printers.end())
        return Refusal{400, "unknown_printer",
                       "The service has no printer named " + chosen + "; it prints to the printers travcard.cfg names."};
    PrinterSettings printer = found->second;
    std::variant<std::string, Refusal> type = textField(object, "type", false, false, 16);
    if (Refusal* refused = std::get_if<Refusal>(&type))
        return *refused;
    const QString asked = QString::fromStdString(std::get<std::string>(type)).toLower();
    if (asked == "zebra" || asked == "epson")
        printer.kind = asked == "zebra" ? PrinterKind::Zebra : PrinterKind::Epson;
    else if (!asked.isEmpty())
        return badField("The printer type " + std::get<std::string>(type) + " is not known: use zebra or epson.");
    return std::pair{chosen, printer};
}

// The fields of a print request, each read in turn until one is refused.
class Reader {
public:
    explicit Reader(const QJsonObject& object) : object_(object) {}

    std::string text(const char* name, bool required, bool numbersToo = false, int longest = 200)
    {
        if (refusal_)
            return {};
        std::variant<std::string, Refusal> value = textField(object_, name, required, numbersToo, longest);
        if (Refusal* refused = std::get_if<Refusal>(&value)) {
            refusal_ = *refused;
            return {};
        }
        return std::get<std::string>(value);
    }
    void refuse(Refusal refusal)
    {
        if (!refusal_)
            refusal_ = std::move(refusal);
    }
    const std::optional<Refusal>& refusal() const { return refusal_; }

private:
    const QJsonObject& object_;
    std::optional<Refusal> refusal_;
};

// request_id, a caller's key, trimmed as the other fields are: nothing when
// the request has none (or null).
std::variant<std::optional<std::string>, Refusal> requestIdField(const QJsonObject& object)
{
    if (object.value("request_id").isUndefined() || object.value("request_id").isNull())
        return std::optional<std::string>();
    std::variant<std::string, Refusal> id = textField(object, "request_id", false, false, static_cast<int>(maxBodyBytes));
    if (Refusal* refused = std::get_if<Refusal>(&id))
        return *refused;
    // JSON can escape half of a surrogate pair, which UTF-8 cannot hold: each
    // such id would reach the journal as '?', and two of them would be one.
    const QString given = object.value("request_id").toString();
    if (!given.isValidUtf16())
        return badField("The request ID is not valid Unicode text, so it cannot be told apart from others.",
                        reason::badRequestId);
    if (const std::optional<std::string> fault = requestIdFault(given))
        return badField(*fault, reason::badRequestId);
    return std::optional<std::string>(trimmedRequestId(given));
}

const char* const previewWithRequestId = "A request ID cannot be used with the printer preview:, which prints nothing.";

}  // namespace

std::variant<PrintAsk, Refusal> decodePrint(const QByteArray& body, const NamedPrinters& printers, bool nested)
{
    std::variant<QJsonObject, Refusal> parsed = objectOf(body);
    if (Refusal* refused = std::get_if<Refusal>(&parsed))
        return *refused;
    const QJsonObject& object = std::get<QJsonObject>(parsed);
    Reader read(object);
    PrintAsk ask;
    OrderAsk& order = ask.order;
    const std::string location = read.text("location", true);
    order.orderText = QString::fromStdString(read.text("order", true, true)).trimmed().toStdString();
    const std::string givenSuffix = read.text("suffix", false, true);
    const std::string suffix = givenSuffix.empty() ? std::string(1, '0') : givenSuffix;
    const QJsonValue operation = object.value("operation");
    const bool allOperations = operation.isUndefined() || operation.isNull() ||
                               (operation.isString() && operation.toString().trimmed().toLower() == "all");
    const std::optional<std::int64_t> operationNumber = wholeNumber(operation, 0, 999'999'999);
    if (!allOperations && !operationNumber)
        read.refuse(badField("operation must be a whole number or \"all\"."));
    order.operation = allOperations ? std::string("All") : std::to_string(operationNumber.value_or(0));
    const QJsonValue quantity = object.value("quantity");
    const std::optional<std::int64_t> quantityNumber =
        quantity.isUndefined() ? std::optional<std::int64_t>(1) : wholeNumber(quantity, 1, maxQuantity);
    if (!quantityNumber)
        read.refuse(badField("Specify a quantity to print.", reason::badQuantity));
    order.quantity = std::to_string(quantityNumber.value_or(1));
    if (object.value("request_id").isUndefined() || object.value("request_id").isNull())
        read.refuse(badField("request_id is required: it makes a retry print nothing twice.", reason::badRequestId));
    read.text("request_id", false, false, static_cast<int>(maxBodyBytes));
    if (nested) {
        NestedTexts typed;
        typed.partNo = read.text("part", true);
        typed.quantity = read.text("nested_quantity", true, true);
        typed.customer = read.text("customer", false);
        typed.dept = read.text("dept", false);
        typed.comment = read.text("comment", false);
        if (order.operation == "All")
            read.refuse(badField("Cannot use nested parts form on an 'All' Operation"));
        ask.nested = typed;
    }
    if (order.orderText.empty() || QString::fromStdString(location).trimmed().isEmpty())
        read.refuse(badField("location and order must not be empty."));
    if (read.refusal())
        return *read.refusal();
    std::variant<std::optional<std::string>, Refusal> requestId = requestIdField(object);
    if (Refusal* refused = std::get_if<Refusal>(&requestId))
        return *refused;
    std::variant<std::pair<std::string, PrinterSettings>, Refusal> printer = printerField(object, printers);
    if (Refusal* refused = std::get_if<Refusal>(&printer))
        return *refused;
    std::tie(ask.printerName, order.printer) = std::get<std::pair<std::string, PrinterSettings>>(printer);
    if (nested && order.printer.kind != PrinterKind::Zebra)
        return Refusal{400, reason::wrongPrinterType, "Nested parts not designed for an EPSON printer"};
    if (order.printer.name == "preview:")
        return badField(previewWithRequestId, reason::badRequestId);
    order.order = selectOrder(order.orderText, location, suffix);
    order.requestId = std::get<std::optional<std::string>>(std::move(requestId));
    return ask;
}

std::variant<RestAsk, Refusal> decodeRest(const QByteArray& body, const NamedPrinters& printers)
{
    std::variant<QJsonObject, Refusal> parsed = objectOf(body.trimmed().isEmpty() ? QByteArray("{}") : body);
    if (Refusal* refused = std::get_if<Refusal>(&parsed))
        return *refused;
    const QJsonObject& object = std::get<QJsonObject>(parsed);
    RestAsk ask;
    std::variant<std::string, Refusal> inDoubt = textField(object, "in_doubt", false, false, 16);
    if (Refusal* refused = std::get_if<Refusal>(&inDoubt))
        return *refused;
    const std::string& said = std::get<std::string>(inDoubt);
    if (said == "print" || said == "skip")
        ask.inDoubt = said == "print" ? InDoubt::Print : InDoubt::Skip;
    else if (!said.empty())
        return badField("in_doubt takes print or skip.");
    std::variant<std::pair<std::string, PrinterSettings>, Refusal> printer = printerField(object, printers);
    if (Refusal* refused = std::get_if<Refusal>(&printer))
        return *refused;
    std::tie(ask.printerName, ask.printer) = std::get<std::pair<std::string, PrinterSettings>>(printer);
    return ask;
}

std::variant<ReprintAsk, Refusal> decodeReprint(const QByteArray& body, const NamedPrinters& printers)
{
    std::variant<QJsonObject, Refusal> parsed = objectOf(body);
    if (Refusal* refused = std::get_if<Refusal>(&parsed))
        return *refused;
    const QJsonObject& object = std::get<QJsonObject>(parsed);
    ReprintAsk ask;
    const QJsonValue tickets = object.value("tickets");
    const QJsonValue operation = object.value("operation");
    if (tickets.isUndefined() == operation.isUndefined())
        return badField("Give either tickets (positions from 1) or operation.");
    if (!tickets.isUndefined()) {
        const QJsonArray list = tickets.toArray();
        if (!tickets.isArray() || list.isEmpty() || list.size() > 10'000)
            return badField("tickets must be a list of positions from 1.");
        std::vector<int> positions;
        for (const QJsonValue& position : list) {
            const std::optional<std::int64_t> number = wholeNumber(position, 1, 1'000'000'000);
            if (!number)
                return badField("tickets must be a list of positions from 1.");
            positions.push_back(static_cast<int>(*number));
        }
        ask.tickets = std::move(positions);
    } else {
        std::variant<std::string, Refusal> text = textField(object, "operation", true, true, 32);
        if (Refusal* refused = std::get_if<Refusal>(&text))
            return *refused;
        ask.operation = QString::fromStdString(std::get<std::string>(text)).trimmed().toStdString();
    }
    const QJsonValue copies = object.value("copies");
    if (!copies.isUndefined()) {
        const std::optional<std::int64_t> number = wholeNumber(copies, 1, maxCopies);
        if (!number)
            return badField("Specify a number of copies from 1 to 999.", reason::badQuantity);
        ask.copies = static_cast<int>(*number);
    }
    std::variant<std::pair<std::string, PrinterSettings>, Refusal> printer = printerField(object, printers);
    if (Refusal* refused = std::get_if<Refusal>(&printer))
        return *refused;
    std::tie(ask.printerName, ask.printer) = std::get<std::pair<std::string, PrinterSettings>>(printer);
    std::variant<std::optional<std::string>, Refusal> requestId = requestIdField(object);
    if (Refusal* refused = std::get_if<Refusal>(&requestId))
        return *refused;
    ask.requestId = std::get<std::optional<std::string>>(std::move(requestId));
    if (ask.requestId && ask.printer.name == "preview:")
        return badField(previewWithRequestId, reason::badRequestId);
    return ask;
}

std::optional<std::int64_t> runNumber(const QString& text)
{
    if (text.isEmpty() || text.size() > 18 ||
        !std::all_of(text.begin(), text.end(), [](QChar c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const qint64 number = text.toLongLong();
    return number > 0 ? std::optional<std::int64_t>(number) : std::nullopt;
}

}  // namespace service
