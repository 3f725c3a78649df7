#include "commands/nested_print_run.h"

#include "commands/order_values.h"
#include "exactly_once/printer_lease.h"
#include "exactly_once/ticket_record.h"
#include "printing/print_stream.h"
#include "text/text.h"
#include "tickets/nested_job.h"

#include <optional>
#include <vector>

namespace {

const std::string operationOfOrder =
    "select * from PUBLIC.SHPORD_OPER where ID_SO = ? and ID_LOC = ? and SUFX_SO = ? "
    "and TYPE_OPER <> 'S' and ID_OPER = ?";

std::string trimmed(std::string_view value) { return std::string(text::trimSpaces(value)); }

// The rows of the main window's operation. An order too long for its key, or
// a suffix or operation that is not a whole number, matches no row, so
// nothing is queried for it.
odbc::ResultSet queryOperation(DatabaseSession& db, const NestedPrintRequest& request)
{
    const OrderSelection& order = request.order;
    if (text::characterCount(order.key) > orderKeyWidth || !order.suffixNumber || !request.operation.number)
        return {};
    return db.query(operationOfOrder, {order.key, order.location, *order.suffixNumber, request.operation.text});
}

// The label of the operation row that operation stands on.
NestedTicketData nestedTicket(const OrderHeader& header, const odbc::ResultSet& operation,
                              const NestedPrintRequest& request)
{
    NestedTicketData t;
    t.location = header.location;
    t.orderNo = printedOrderNumber(header.orderId);
    t.suffix = header.suffix;
    t.partNo = request.typed.partNo;
    t.quantity = request.typed.quantity;
    t.operNo = operation.text("ID_OPER");
    t.dept = operation.text("ID_DEPT");
    t.workCenter = operation.text("ID_WC");
    t.operDescr = operation.text("DESCR_OPER_1");
    t.customer = trimmed(request.typed.customer);
    t.typedDept = trimmed(request.typed.dept);
    t.comment = request.typed.comment;
    t.orderCode = request.order.orderCode;
    t.suffixCode = request.order.suffixCode;
    t.operCode = zeroFilled(text::trimSpaces(t.operNo), 4);
    t.labelQty = request.labelQty;
    return t;
}

// A Zebra run's labels, planned in the journal before the first is sent.
void startRecord(RunRecorder& recorder, const NestedPrintRequest& request,
                 const std::vector<NestedTicketData>& labels, int dpi)
{
    if (!recorder.recording() || labels.empty())
        return;
    if (request.journalRun)
        recorder.adopt(request.journalRun);
    RunStart run = runStart(request.source, request.printer);
    run.location = request.order.location;
    run.order = text::trimSpaces(request.order.key);
    run.suffix = request.order.suffix;
    run.operation = request.operation.text;
    run.quantity = request.typed.quantity;
    run.dpi = dpi;
    std::vector<PlannedTicket> planned;
    for (const NestedTicketData& label : labels)
        planned.push_back({trimmed(label.operNo), 1, encodeNestedTicket(label)});
    recorder.start(run, std::move(planned));
}

std::vector<NestedTicketData> nestedLabels(odbc::ResultSet& operations, const OrderHeader& header,
                                          const NestedPrintRequest& request)
{
    std::vector<NestedTicketData> labels;
    for (operations.moveFirst(); !operations.eof(); operations.moveNext())
        labels.push_back(nestedTicket(header, operations, request));
    return labels;
}

// One job per matching row on a Zebra printer, where the job itself carries
// the number of labels; on an EPSON printer a message for every copy and no
// output. False when the run stopped early (the message is shown).
bool sendTickets(odbc::ResultSet& operations, const OrderHeader& header, const NestedPrintRequest& request,
                 const Quantity& quantity, PrintStream& output, RunRecorder& recorder, MessageBox& messages)
{
    const PrinterSettings& printer = request.printer;
    const bool zebra = printer.kind == PrinterKind::Zebra;
    if (!zebra) {
        for (int copy = 1; copy <= static_cast<int>(operations.rowCount()) * quantity.copies; ++copy)
            messages.show("Nested parts not designed for an EPSON printer", MessageIcon::None);
        output.begin(0, TicketUnit::Tickets);
        return true;
    }
    const std::vector<NestedTicketData> labels = nestedLabels(operations, header, request);
    startRecord(recorder, request, labels, output.dpi());
    output.setObserver(&recorder);
    output.begin(static_cast<int>(labels.size()), TicketUnit::Tickets);
    for (const NestedTicketData& label : labels)
        if (!output.send(nestedJob(label, output.dpi()), messages))
            return false;
    return true;
}

AfterNestedPrint runSteps(DatabaseSession& db, const NestedPrintRequest& request, std::stop_token stop,
                          NestedPrintResult& result, MessageBox& messages)
{
    const std::optional<Quantity>& quantity = request.quantity;
    if (!quantity) {
        messages.show("Specify a quantity to print.", MessageIcon::Warning);
        return AfterNestedPrint::KeepWindow;
    }
    // A later Locate in the main window may have found no order.
    if (!request.header) {
        messages.show("Cannot find this Job.  Try Again.", MessageIcon::Critical);
        return AfterNestedPrint::KeepWindow;
    }
    odbc::ResultSet operations = queryOperation(db, request);
    if (operations.eof()) {
        messages.show("An operation could not be found for this Shop Order.", MessageIcon::Critical);
        return AfterNestedPrint::DiscardWindow;
    }
    RunRecorder recorder(request.journal, messages);
    const PrinterTurn turn = awaitPrinterTurn(request.journal.get(), request.printer, request.progress.get(), stop,
                                                request.journalRun);
    if (!turn.goesOn(messages, result.outcome)) {
        result.gaveUpForPrinter = turn.givenUp;
        return AfterNestedPrint::KeepWindow;
    }
    recorder.holdLease(turn.lease.get());
    PrintStream output(request.printer, request.progress, stop);
    MessageList opening;
    const bool opened = output.open(opening);
    messages.showAll(opening.shown);
    if (!opened) {
        result.outcome = stop.stop_requested() ? PrintEnding::Stopped : PrintEnding::PrinterFault;
        // A Zebra run whose printer failed is recorded, with its labels
        // planned, so that Print the Rest can print them once it works.
        if (!stop.stop_requested() && request.printer.kind == PrinterKind::Zebra) {
            const std::string why = opening.shown.empty() ? std::string() : opening.shown.back().text;
            startRecord(recorder, request, nestedLabels(operations, *request.header, request),
                        request.printer.resolution.dpi);
            recorder.ended(PrintOutcome::Failed, 0, 0, why);
            result.journalRun = recorder.runId();
        }
        return AfterNestedPrint::KeepWindow;
    }
    const bool finished = sendTickets(operations, *request.header, request, *quantity, output, recorder, messages) &&
                          output.finish(messages);
    if (finished)
        result.preview = output.takePreview();
    // An EPSON printer gets no nested-part label: nothing was printed.
    result.notForThisPrinter = finished && request.printer.kind != PrinterKind::Zebra;
    result.outcome = output.ticketsPlanned() == 0 ? PrintEnding::Refused
                                                   : sendingOutcome(finished, output.wroteAny(), output.stopped());
    result.tickets = {output.ticketsSent(), output.ticketsPlanned()};
    result.journalRefused = output.unrecorded();
    result.journalRun = recorder.runId();
    return AfterNestedPrint::KeepWindow;
}

}  // namespace

NestedPrintRequest nestedPrintRequest(const MainWindowTexts& main, std::optional<OrderHeader> header,
                                      PrinterSettings printer, const NestedTexts& typed,
                                      std::shared_ptr<PrintProgress> progress)
{
    return {selectOrder(main.order, main.location, main.suffix),
            chooseOperation(main.operation, main.operation),
            trimmed(main.labelQty),
            std::move(header),
            std::move(printer),
            typed,
            parseQuantity(typed.quantity),
            std::move(progress)};
}

NestedPrintResult printNestedTickets(DatabaseSession& db, const NestedPrintRequest& request,
                                     std::stop_token stop)
{
    NestedPrintResult result;
    MessageList messages;
    try {
        result.after = runSteps(db, request, stop, result, messages);
    } catch (const odbc::Error& error) {
        messages.show(odbc::describe(error), MessageIcon::Critical);
        result.outcome = PrintEnding::DatabaseFault;
    }
    result.messages = std::move(messages.shown);
    return result;
}
