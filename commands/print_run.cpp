#include "commands/print_run.h"

#include "barcode/rv_barcode.h"
#include "commands/order_values.h"
#include "commands/successor.h"
#include "exactly_once/printer_lease.h"
#include "exactly_once/ticket_record.h"
#include "printing/print_stream.h"
#include "text/text.h"
#include "tickets/epson_page.h"
#include "tickets/zebra_job.h"

#include <algorithm>
#include <optional>

namespace {

const std::string operationsOfOrder =
    "select * from PUBLIC.SHPORD_OPER where ID_SO = ? and ID_LOC = ? and SUFX_SO = ?";
const std::string printableOperations = operationsOfOrder + " and TYPE_OPER <> 'S'";
const std::string oneOperation = printableOperations + " AND ID_OPER = ?";
const std::string itemOfPart = "select * from PUBLIC.ITMMAS_BASE where ID_ITEM = ?";

constexpr const char* noOperations = "There are no Operations for this Shop Order.";

// The operations to print. A suffix or an operation that is not a whole
// number matches no row, so nothing is queried for it.
odbc::ResultSet queryOperations(DatabaseSession& db, const PrintRequest& request)
{
    const OrderSelection& order = request.order;
    if (!order.suffixNumber)
        return {};
    if (request.operation.all)
        return db.query(printableOperations, {order.key, order.location, *order.suffixNumber});
    if (!request.operation.number)
        return {};
    return db.query(oneOperation, {order.key, order.location, *order.suffixNumber, *request.operation.number});
}

// The rows that every ticket of a run reads besides its operation.
struct RunRows {
    const OrderHeader& header;
    const odbc::ResultSet& item;
    const odbc::ResultSet& allOperations;  // the candidates for each ticket's next operation
};

class TicketBuilder {
public:
    TicketBuilder(const RunRows& rows, const PrintRequest& request, const Quantity& quantity)
        : rows_(rows),
          successors_(rows.allOperations),
          orderCode_(request.order.orderCode),
          suffixCode_(request.order.suffixCode),
          labelQty_(quantity.text)
    {
    }

    // The ticket of the operation row that operation stands on.
    TicketData build(const odbc::ResultSet& operation) const
    {
        const OrderHeader& header = rows_.header;
        const odbc::ResultSet& item = rows_.item;
        TicketData t;
        t.orderNo = printedOrderNumber(header.orderId);
        t.location = header.location;
        t.suffix = header.suffix;
        t.partNo = header.partNumber;
        t.qtyOrd = operation.text("QTY_ORD");
        t.operNo = operation.text("ID_OPER");
        t.dept = operation.text("ID_DEPT");
        t.workCenter = operation.text("ID_WC");
        t.operDescr = operation.text("DESCR_OPER_1");
        t.customer = item.text("CODE_USER_3_IM");
        t.custPart = item.text("KEY_ALT");
        setNextOperation(t, operation.isNull("ID_OPER") ? std::nullopt
                                                     : odbc::ResultSet::Value(t.operNo));
        t.orderCode = orderCode_;
        t.suffixCode = suffixCode_;
        t.operCode = zeroFilled(text::trimSpaces(t.operNo), 4);
        t.labelQty = labelQty_;
        return t;
    }

private:
    void setNextOperation(TicketData& t, const odbc::ResultSet::Value& operNo) const
    {
        const std::optional<std::size_t> next = successors_.successorOf(operNo);
        if (!next) {
            t.nextOper = "DONE";
            t.nextDept = "DONE";
            return;
        }
        const odbc::ResultSet& candidates = rows_.allOperations;
        const odbc::ResultSet::Row& row = candidates.row(*next);
        const auto column = [&](const char* name) {
            return row[candidates.columnIndex(name)].value_or(std::string());
        };
        t.nextOper = column("ID_OPER");
        t.nextDept = column("ID_DEPT") + " " + column("ID_WC");
        t.nextDescr = column("DESCR_OPER_1");
    }

    const RunRows& rows_;
    SuccessorIndex successors_;
    std::string orderCode_;
    std::string suffixCode_;
    std::string labelQty_;
};

// Every ticket of the run, in the order the database returned the rows.
// Kept for the run: the journal plans them all before the first is sent.
std::vector<TicketData> buildTickets(odbc::ResultSet& operations, const TicketBuilder& builder)
{
    std::vector<TicketData> tickets;
    tickets.reserve(operations.rowCount());
    for (operations.moveFirst(); !operations.eof(); operations.moveNext())
        tickets.push_back(builder.build(operations));
    return tickets;
}

int copiesOfEach(const PrinterSettings& printer, const Quantity& quantity)
{
    // The Zebra printer makes the copies of its one job.
    if (printer.kind == PrinterKind::Zebra)
        return 1;
    return printer.kind == PrinterKind::Epson ? std::max<int>(quantity.copies, 0) : 0;
}

// The run as its request asked for it.
RunStart requestedRun(const PrintRequest& request)
{
    RunStart run = runStart(request.source, request.printer.settings);
    run.location = request.order.location;
    run.order = text::trimSpaces(request.order.key);
    run.suffix = request.order.suffix;
    run.operation = request.operation.all ? "All" : request.operation.text;
    run.quantity = request.quantity ? request.quantity->text : std::string();
    return run;
}

void startRecord(RunRecorder& recorder, const PrintRequest& request, const std::vector<TicketData>& tickets, int dpi)
{
    if (!recorder.recording())
        return;
    RunStart run = requestedRun(request);
    run.dpi = dpi;
    run.shared = encodeSharedFields(tickets.front());
    std::vector<PlannedTicket> planned;
    planned.reserve(tickets.size());
    const int copies = copiesOfEach(request.printer.settings, *request.quantity);
    for (const TicketData& ticket : tickets)
        planned.push_back({std::string(text::trimSpaces(ticket.operNo)), copies, encodeTicketFields(ticket)});
    recorder.start(run, std::move(planned));
}

// A run whose printer could not be opened is recorded as failed with its
// message, none of its tickets sent. They are planned by operation only:
// what they are built from was not read once the printer failed, so the
// journal cannot print them again.
void recordUnopenedRun(RunRecorder& recorder, const PrintRequest& request, odbc::ResultSet& operations,
                       const std::string& message)
{
    if (!recorder.recording())
        return;
    if (request.journalRun)
        recorder.adopt(request.journalRun);
    std::vector<PlannedTicket> planned;
    const int copies = copiesOfEach(request.printer.settings, *request.quantity);
    for (operations.moveFirst(); !operations.eof(); operations.moveNext())
        planned.push_back({std::string(text::trimSpaces(operations.text("ID_OPER"))), copies, {}});
    recorder.start(requestedRun(request), std::move(planned));
    recorder.ended(PrintOutcome::Failed, 0, 0, message);
}

// One Zebra job per operation (the printer makes the copies), or one EPSON
// page per copy, starting with the alternation extraLine. Each is sent as
// soon as it is built. False when the run stopped early (the message is shown).
bool sendTickets(const std::vector<TicketData>& tickets, const PrinterSettings& printer,
                 const Quantity& quantity, PrintStream& output, bool extraLine, MessageBox& messages)
{
    std::optional<RvBarCode> barcode;
    const int copies = copiesOfEach(printer, quantity);
    output.begin(static_cast<int>(tickets.size()) * copies,
                 printer.kind == PrinterKind::Epson ? TicketUnit::Pages : TicketUnit::Tickets);
    for (const TicketData& ticket : tickets) {
        if (printer.kind == PrinterKind::Zebra && !output.send(zebraJob(ticket, output.dpi()), messages))
            return false;
        if (printer.kind != PrinterKind::Epson)
            continue;
        for (int copy = 1; copy <= copies; ++copy) {
            if (!barcode)
                barcode.emplace();
            std::string page;
            try {
                page = epsonPage(ticket, *barcode, extraLine);
            } catch (const std::length_error& error) {
                output.stop(error.what(), MessageIcon::Critical, messages);
                return false;
            }
            if (!output.send(page, messages))
                return false;
        }
    }
    return true;
}

void runSteps(DatabaseSession& db, const PrintRequest& request, std::stop_token stop, PrintResult& result,
              MessageBox& messages)
{
    const PrinterSettings& printer = request.printer.settings;
    const OrderSelection& order = request.order;
    RunRecorder recorder(request.journal, messages);
    odbc::ResultSet operations = queryOperations(db, request);
    if (operations.eof()) {
        messages.show(noOperations, MessageIcon::Critical);
        return;
    }
    const std::optional<Quantity>& quantity = request.quantity;
    if (!quantity) {
        messages.show("Specify a quantity to print.", MessageIcon::Warning);
        return;
    }
    const PrinterTurn turn = awaitPrinterTurn(request.journal.get(), printer, request.progress.get(), stop, request.journalRun);
    if (!turn.goesOn(messages, result.outcome)) {
        result.gaveUpForPrinter = turn.givenUp;
        return;
    }
    PrintStream output(printer, request.progress, stop);
    MessageList opening;
    const bool opened = output.open(opening);
    messages.showAll(opening.shown);
    if (!opened) {
        // A run given up before it opened the printer is not a run that failed.
        if (stop.stop_requested()) {
            result.outcome = PrintEnding::Stopped;
            return;
        }
        result.outcome = PrintEnding::PrinterFault;
        const std::string why = opening.shown.empty() ? std::string() : opening.shown.back().text;
        recordUnopenedRun(recorder, request, operations, why);
        result.journalRun = recorder.runId();
        return;
    }
    const std::string& partNo = request.header.partNumber;
    const odbc::ResultSet item = db.query(itemOfPart, {std::string(text::trimSpaces(partNo))});
    if (item.eof()) {
        messages.show("The item " + partNo + " is not defined in the Item Master. Seek Help.",
                      MessageIcon::Critical);
        return;
    }
    const odbc::ResultSet allOperations =
        db.query(operationsOfOrder, {order.key, order.location, *order.suffixNumber});

    // A run given up while it waited for the database records and sends nothing.
    if (stop.stop_requested())
        return;
    const RunRows rows{request.header, item, allOperations};
    const std::vector<TicketData> tickets = buildTickets(operations, TicketBuilder(rows, request, *quantity));
    if (request.journalRun)
        recorder.adopt(request.journalRun);
    startRecord(recorder, request, tickets, output.dpi());
    recorder.holdLease(turn.lease.get());
    output.setObserver(&recorder);
    const bool extraLine = request.printer.extraLine;
    const bool sentAll = sendTickets(tickets, printer, *quantity, output, extraLine, messages);
    settleSentRun(result, output, sentAll && output.finish(messages), request.printer);
    result.journalRun = recorder.runId();
}

}  // namespace

void settleSentRun(PrintResult& result, PrintStream& output, bool finished, const PrinterSession& printer)
{
    const bool oddPagesSent = printer.settings.kind == PrinterKind::Epson && output.ticketsSent() % 2 == 1;
    result.extraLine = printer.extraLine != oddPagesSent;
    if (finished)
        result.preview = output.takePreview();
    result.outcome = sendingOutcome(finished, output.wroteAny(), output.stopped());
    result.tickets = {output.ticketsSent(), output.ticketsPlanned()};
    result.journalRefused = output.unrecorded();
}

PrintResult printTickets(DatabaseSession& db, const PrintRequest& request, std::stop_token stop)
{
    PrintResult result;
    result.extraLine = request.printer.extraLine;
    MessageList messages;
    try {
        runSteps(db, request, stop, result, messages);
    } catch (const odbc::Error& error) {
        messages.show(odbc::describe(error), MessageIcon::Critical);
        result.outcome = PrintEnding::DatabaseFault;
    }
    result.messages = std::move(messages.shown);
    return result;
}
