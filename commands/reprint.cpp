#include "commands/reprint.h"

#include "barcode/rv_barcode.h"
#include "exactly_once/printer_lease.h"
#include "exactly_once/ticket_record.h"
#include "printing/print_stream.h"
#include "tickets/epson_page.h"
#include "tickets/nested_job.h"
#include "tickets/zebra_job.h"

#include <algorithm>
#include <optional>
#include <variant>

namespace {

// A ticket as the journal kept it: a move ticket, or a nested-part label
// (whose run shares nothing).
using KeptTicket = std::variant<TicketData, NestedTicketData>;

std::optional<KeptTicket> decode(const RunRecord& run, const TicketRecord& ticket)
{
    if (run.shared.empty()) {
        if (std::optional<NestedTicketData> label = decodeNestedTicket(ticket.data))
            return KeptTicket(std::move(*label));
        return std::nullopt;
    }
    if (std::optional<TicketData> data = decodeTicket(run.shared, ticket.data))
        return KeptTicket(std::move(*data));
    return std::nullopt;
}

struct Reprint {
    RunRecord run;
    std::vector<TicketRecord> tickets;  // those to print, in order
    std::vector<KeptTicket> kept;       // the same, decoded
};

// A Zebra job carries its label quantity: a reprint of cards cards is one
// job with that quantity.
KeptTicket withLabelQuantity(KeptTicket kept, int cards)
{
    std::visit([cards](auto& ticket) { ticket.labelQty = std::to_string(cards); }, kept);
    return kept;
}

// How many times each ticket is sent to the printer.
int sendsOfEach(const ReprintRequest& request)
{
    return request.cards > 0 && request.printer.settings.kind == PrinterKind::Epson ? request.cards : 1;
}

// The run and the chosen tickets, or nothing with the message shown.
std::optional<Reprint> readReprint(Journal& journal, const ReprintRequest& request, MessageBox& messages)
{
    std::optional<RunRecord> run = journal.run(request.run);
    const std::vector<TicketRecord> all = run ? journal.tickets(request.run) : std::vector<TicketRecord>{};
    Reprint reprint{run.value_or(RunRecord{}), {}, {}};
    for (const int position : request.positions) {
        const bool known = position >= 1 && position <= static_cast<int>(all.size());
        if (known && !ticketsKept(*run, {all[static_cast<std::size_t>(position - 1)]})) {
            messages.show(notBuiltMessage(request.run), MessageIcon::Critical);
            return std::nullopt;
        }
        std::optional<KeptTicket> kept = known ? decode(*run, all[static_cast<std::size_t>(position - 1)]) : std::nullopt;
        if (!kept) {
            messages.show("The print journal holds no ticket " + std::to_string(position) + " of run " +
                              std::to_string(request.run) + " that can be printed again.",
                          MessageIcon::Critical);
            return std::nullopt;
        }
        reprint.tickets.push_back(all[static_cast<std::size_t>(position - 1)]);
        const bool zebraCards = request.cards > 0 && request.printer.settings.kind == PrinterKind::Zebra;
        reprint.kept.push_back(zebraCards ? withLabelQuantity(std::move(*kept), request.cards) : std::move(*kept));
    }
    return reprint;
}

struct PlannedRun {
    RunStart start;
    std::vector<PlannedTicket> tickets;
};

// A preview prints nothing: it leaves the rest of a run for a real printer.
bool claimsTheRest(const ReprintRequest& request)
{
    return request.cards == 0 && request.printer.settings.name != "preview:";
}

PlannedRun plannedRun(const ReprintRequest& request, const Reprint& reprint)
{
    PlannedRun planned{runStart(request.source, request.printer.settings), {}};
    RunStart& start = planned.start;
    start.location = reprint.run.location;
    start.order = reprint.run.order;
    start.suffix = reprint.run.suffix;
    start.operation = reprint.run.operation;
    start.quantity = reprint.run.quantity;
    if (claimsTheRest(request))
        start.restOf = request.run;
    // What each ticket is built from now, so that this run can be finished in turn.
    start.shared = reprint.run.shared;
    for (std::size_t i = 0; i < reprint.tickets.size(); ++i) {
        std::string data;
        if (const auto* ticket = std::get_if<TicketData>(&reprint.kept[i])) {
            start.shared = encodeSharedFields(*ticket);
            data = encodeTicketFields(*ticket);
        } else {
            data = encodeNestedTicket(std::get<NestedTicketData>(reprint.kept[i]));
        }
        planned.tickets.push_back({reprint.tickets[i].operation, sendsOfEach(request), data});
    }
    return planned;
}


std::string lastMessage(const MessageList& messages)
{
    return messages.shown.empty() ? std::string() : messages.shown.back().text;
}

bool isNestedLabel(const KeptTicket& kept) { return std::holds_alternative<NestedTicketData>(kept); }

// The bytes of one copy of a ticket for today's printer (a nested-part label
// only ever for a Zebra: runSteps refuses it to an EPSON).
std::string ticketBytes(const KeptTicket& kept, PrinterKind kind, int dpi, std::optional<RvBarCode>& barcode,
                        bool& extraLine)
{
    if (const auto* label = std::get_if<NestedTicketData>(&kept))
        return nestedJob(*label, dpi);
    const TicketData& ticket = std::get<TicketData>(kept);
    if (kind == PrinterKind::Zebra)
        return zebraJob(ticket, dpi);
    if (!barcode)
        barcode.emplace();
    return epsonPage(ticket, *barcode, extraLine);
}

// A Zebra run printed again on a printer of another resolution is laid out
// for that printer, and the operator is told.
std::optional<std::string> resolutionChange(const RunRecord& run, int dpi)
{
    if (run.printerType != "ZEBRA" || dpi == 0)
        return std::nullopt;
    const int recorded = run.dpi ? run.dpi : standardDpi;
    if (recorded == dpi)
        return std::nullopt;
    return "Run " + std::to_string(run.id) + " was laid out for a " + std::to_string(recorded) +
           " dpi printer; its tickets are laid out again for this one, at " + std::to_string(dpi) + " dpi.";
}

void runSteps(Journal& journal, const ReprintRequest& request, std::stop_token stop, PrintResult& result,
              MessageList& messages)
{
    const std::optional<Reprint> reprint = readReprint(journal, request, messages);
    if (!reprint)
        return;
    if (request.cards == 0 && !reprint->run.ended) {
        messages.show(stillPrintingMessage(request.run), MessageIcon::Warning);
        return;
    }
    if (request.printer.settings.kind != PrinterKind::Zebra && std::ranges::any_of(reprint->kept, isNestedLabel)) {
        messages.show("Nested parts not designed for an EPSON printer", MessageIcon::None);
        result.notForThisPrinter = true;
        return;
    }
    const PlannedRun planned = plannedRun(request, *reprint);
    // Recorded before the printer is opened, so that of two programs printing
    // the rest of one run only one gets past this (the other: RestTaken).
    std::int64_t run = request.journalRun;
    if (run)
        journal.planRun(run, planned.start, planned.tickets);
    else
        run = journal.startRun(planned.start, planned.tickets);
    result.journalRun = run;
    const PrinterSettings& printer = request.printer.settings;
    RunRecorder recorder(request.journal, messages);
    if (!recorder.recording()) {
        messages.show("The print journal cannot be written, so nothing can be printed again.", MessageIcon::Critical);
        result.journalRefused = true;
        journal.endRun(run, RunOutcome::Failed, 0, lastMessage(messages));
        return;
    }
    const PrinterTurn turn = awaitPrinterTurn(request.journal.get(), printer, request.progress.get(), stop, run);
    if (!turn.goesOn(messages, result.outcome)) {
        journal.endRun(run, turn.givenUp ? RunOutcome::Cancelled : RunOutcome::Failed, 0, lastMessage(messages));
        return;
    }
    PrintStream output(printer, request.progress, stop);
    if (!output.open(messages)) {
        result.outcome = stop.stop_requested() ? PrintEnding::Stopped : PrintEnding::PrinterFault;
        journal.endRun(run, stop.stop_requested() ? RunOutcome::Cancelled : RunOutcome::Failed, 0,
                       lastMessage(messages));
        return;
    }
    if (output.dpi() != planned.start.dpi) {
        RunStart laidOut = planned.start;
        laidOut.dpi = output.dpi();
        journal.planRun(run, laidOut, planned.tickets);
    }
    if (const std::optional<std::string> change = resolutionChange(reprint->run, output.dpi()))
        messages.show(*change, MessageIcon::None);
    recorder.startPlanned(run, planned.tickets);
    recorder.holdLease(turn.lease.get());
    output.setObserver(&recorder);
    const int copies = sendsOfEach(request);
    output.begin(static_cast<int>(reprint->kept.size()) * copies,
                 printer.kind == PrinterKind::Epson ? TicketUnit::Pages : TicketUnit::Tickets);
    bool extraLine = request.printer.extraLine;
    std::optional<RvBarCode> barcode;
    bool sentAll = true;
    for (const KeptTicket& kept : reprint->kept) {
        for (int copy = 1; sentAll && copy <= copies; ++copy) {
            std::string bytes;
            try {
                bytes = ticketBytes(kept, printer.kind, output.dpi(), barcode, extraLine);
            } catch (const std::length_error& error) {
                output.stop(error.what(), MessageIcon::Critical, messages);
                sentAll = false;
                break;
            }
            sentAll = output.send(bytes, messages);
        }
        if (!sentAll)
            break;
    }
    settleSentRun(result, output, sentAll && output.finish(messages), request.printer);
    result.journalRun = recorder.runId();
}

}  // namespace

std::vector<int> unconfirmedTickets(const std::vector<TicketRecord>& tickets)
{
    std::vector<int> positions;
    for (const TicketRecord& ticket : tickets)
        if (ticket.state != TicketState::Confirmed)
            positions.push_back(ticket.position);
    return positions;
}


PrintResult reprintTickets(const ReprintRequest& request, std::stop_token stop)
{
    PrintResult result;
    result.extraLine = request.printer.extraLine;
    MessageList messages;
    const std::unique_ptr<Journal> journal = request.journal ? request.journal->open(messages) : nullptr;
    if (!journal) {
        messages.show("The print journal cannot be read, so nothing can be printed again.", MessageIcon::Critical);
        result.journalRefused = true;
    } else {
        try {
            runSteps(*journal, request, stop, result, messages);
        } catch (const RestTaken& taken) {
            messages.show(restTakenMessage(taken.run(), taken.by()), MessageIcon::Warning);
            result.restTaken = true;
        } catch (const JournalError& error) {
            messages.show(error.what(), MessageIcon::Critical);
            result.journalRefused = true;
        }
    }
    result.messages = std::move(messages.shown);
    return result;
}
