#include "commands/check_printer.h"

#include <QJsonArray>

#include <string_view>

namespace {

using Verdict = PrinterCheck::Verdict;

std::string firstLine(const std::string& printer, Verdict verdict)
{
    switch (verdict) {
    case Verdict::Ready: return "The printer " + printer + " is ready.";
    case Verdict::NotReady: return "The printer " + printer + " is not ready.";
    case Verdict::Unavailable: return printerNotAvailable(printer);
    }
    return printerNotAvailable(printer);
}

// The check's verdict with its fixed first line, then the reasons.
PrinterCheck judged(const std::string& printer, Verdict verdict, const std::vector<std::string>& reasons = {})
{
    PrinterCheck check;
    check.verdict = verdict;
    const MessageIcon icon = verdict == Verdict::Ready ? MessageIcon::None : MessageIcon::Warning;
    check.messages.push_back({firstLine(printer, verdict), icon});
    for (const std::string& reason : reasons)
        if (!reason.empty())
            check.messages.push_back({reason, MessageIcon::None});
    return check;
}

std::string sentence(std::string text)
{
    if (!text.empty() && text.back() != '.')
        text += '.';
    return text;
}

std::string bufferInWords(const ZebraBuffer& buffer)
{
    return "Formats waiting in the printer: " + std::to_string(buffer.formats) +
           "; labels remaining: " + std::to_string(buffer.labelsRemaining) + ".";
}

// A network printer: a Zebra one answers its status request; an EPSON one
// has nothing to ask beyond taking the connection.
PrinterCheck checkNetworkPrinter(const PrinterSettings& printer, std::stop_token stop)
{
    const std::unique_ptr<PrinterDestination> destination = openDestination(printer.name, printer.limits, stop);
    PrinterCheck check = judged(printer.name, Verdict::Ready);
    bool answered = true;
    if (printer.kind == PrinterKind::Zebra && destination->answersRequests()) {
        const HostStatusAnswer answer = askHostStatus(*destination, printer.limits.statusTimeout);
        answered = !answer.reply.empty();
        if (!answered)
            check = judged(printer.name, Verdict::NotReady, {"The printer did not answer its status request."});
        else if (!answer.status)
            check = judged(printer.name, Verdict::NotReady,
                           {"The printer's answer to its status request could not be read."});
        else if (const std::string faults = faultsInWords(*answer.status); !faults.empty())
            check = judged(printer.name, Verdict::NotReady, {"The printer reports: " + faults + "."});
        check.zebra = answer.status;
        check.buffer = parseHostBuffer(answer.reply);
        if (check.buffer)
            check.messages.push_back({bufferInWords(*check.buffer), MessageIcon::None});
    }
    // Closed without waiting for the printer to close its side; one that
    // did not answer is reset, so that a late answer is not left behind.
    if (answered) {
        try {
            destination->finish({[] { return true; }, {}});
        } catch (const PrinterError&) {
        }
    }
    return check;
}

PrinterCheck checkQueue(const PrinterSettings& printer, const std::string& queue)
{
    const std::optional<CupsQueueState> state = cupsQueueState(queue, printer.limits);
    if (!state)
        return judged(printer.name, Verdict::Unavailable, {"No CUPS queue named " + queue + "."});
    std::vector<std::string> reasons;
    if (state->stopped())
        reasons.push_back("The CUPS queue " + queue + " is stopped.");
    if (!state->accepting)
        reasons.push_back("The CUPS queue " + queue + " does not accept jobs.");
    if (!reasons.empty()) {
        if (!state->message.empty())
            reasons.push_back("CUPS says: " + sentence(state->message));
        if (!state->reasons.empty()) {
            std::string listed;
            for (const std::string& reason : state->reasons)
                listed += (listed.empty() ? "" : ", ") + reason;
            reasons.push_back("CUPS gives the reasons: " + listed + ".");
        }
    }
    PrinterCheck check = judged(printer.name, reasons.empty() ? Verdict::Ready : Verdict::NotReady, reasons);
    check.queue = state;
    return check;
}

}  // namespace

PrinterCheck checkPrinter(const PrinterSettings& printer, std::stop_token stop)
{
    const std::string_view name(printer.name);
    try {
        if (stop.stop_requested())
            throw destinations::stopped();
        if (name == "preview:")
            return judged(printer.name, Verdict::Ready);
        if (name.starts_with("cups:"))
            return checkQueue(printer, printer.name.substr(5));
        if (name.starts_with("socket://"))
            return checkNetworkPrinter(printer, stop);
        checkPathOpens(printer.name, printer.limits, stop);
        return judged(printer.name, Verdict::Ready);
    } catch (const PrinterError& error) {
        return judged(printer.name, Verdict::Unavailable, {error.reason()});
    }
}

int answerCheck(const PrinterSettings& printer, const PrinterCheck& check, Answer& answer)
{
    answer.messages.showAll(check.messages);
    QJsonObject fields{{"printer", QString::fromStdString(printer.name)},
                       {"type", printer.kind == PrinterKind::Zebra ? "zebra" : "epson"},
                       {"ready", check.ready()}};
    if (check.zebra) {
        fields.insert("paper_out", check.zebra->paperOut);
        fields.insert("head_open", check.zebra->headOpen);
        fields.insert("ribbon_out", check.zebra->ribbonOut);
        fields.insert("paused", check.zebra->paused);
    }
    if (check.buffer) {
        fields.insert("formats_in_buffer", check.buffer->formats);
        fields.insert("labels_remaining", check.buffer->labelsRemaining);
    }
    if (check.queue) {
        QJsonArray reasons;
        for (const std::string& reason : check.queue->reasons)
            reasons.append(QString::fromStdString(reason));
        fields.insert("state", QString::fromStdString(check.queue->stateName()));
        fields.insert("accepting_jobs", check.queue->accepting);
        fields.insert("reasons", reasons);
    }
    switch (check.verdict) {
    case PrinterCheck::Verdict::Ready: return answer.end(allSent, reason::ready, fields);
    case PrinterCheck::Verdict::NotReady: return answer.end(printerFault, reason::printerNotReady, fields);
    case PrinterCheck::Verdict::Unavailable: break;
    }
    return answer.end(printerFault, reason::printerUnavailable, fields);
}
