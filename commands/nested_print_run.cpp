#include "commands/nested_print_run.h"

#include "tickets/nested_job.h"
#include "printing/print_stream.h"
#include "text/text.h"
#include "commands/order_values.h"

#include <optional>

namespace {

const std::string operationOfOrder =
    "select * from PUBLIC.SHPORD_OPER where ID_SO = ? and ID_LOC = ? and SUFX_SO = ? "
    "and TYPE_OPER <> 'S' and ID_OPER = ?";

std::string trimmed(std::string_view value) { return std::string(text::trimSpaces(value)); }

// The rows of the main window's operation. An order too long for its key, or
// a suffix or operation that is not a whole number, matches no row, so
// nothing is queried for it.
odbc::ResultSet queryOperation(DatabaseSession& db, const MainWindowTexts& texts)
{
    const std::string key = orderKey(texts.order);
    const std::optional<std::int64_t> suffix = wholeNumber(texts.suffix);
    const std::string operation = trimmed(texts.operation);
    if (text::characterCount(key) > orderKeyWidth || !suffix || !wholeNumber(operation))
        return {};
    return db.query(operationOfOrder, {key, trimmed(texts.location), *suffix, operation});
}

// The label of the operation row that rsOPER stands on.
NestedTicketData nestedTicket(const OrderHeader& header, const odbc::ResultSet& operation,
                              const NestedPrintRequest& request)
{
    const MainWindowTexts& main = request.main.texts;
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
    t.orderCode = zeroFilled(main.order, 6);
    t.suffixCode = zeroFilled(main.suffix, 3);
    t.operCode = zeroFilled(text::trimSpaces(t.operNo), 4);
    t.labelQty = trimmed(main.labelQty);
    return t;
}

// One job per matching row on a Zebra printer, where the job itself carries
// the number of labels; on an EPSON printer a message for every copy and no
// output. False when the run stopped early (the message is shown).
bool sendTickets(odbc::ResultSet& rsOPER, const OrderHeader& header, const NestedPrintRequest& request,
                 const Quantity& quantity, PrintStream& output, MessageBox& messages)
{
    const PrinterSettings& printer = request.main.printer;
    output.begin(printer.kind == PrinterKind::Zebra ? static_cast<int>(rsOPER.rowCount()) : 0, TicketUnit::Tickets);
    for (rsOPER.moveFirst(); !rsOPER.eof(); rsOPER.moveNext()) {
        const int copies = printer.kind == PrinterKind::Zebra ? 1 : quantity.copies;
        for (int copy = 1; copy <= copies; ++copy) {
            if (printer.kind == PrinterKind::Epson)
                messages.show("Nested parts not designed for an EPSON printer", MessageIcon::None);
            if (printer.kind == PrinterKind::Zebra && !output.send(nestedJob(nestedTicket(header, rsOPER, request)), messages))
                return false;
        }
    }
    return true;
}

AfterNestedPrint runSteps(DatabaseSession& db, const NestedPrintRequest& request,
                          NestedPrintResult& result, MessageBox& messages)
{
    const std::optional<Quantity> quantity = parseQuantity(request.typed.quantity);
    if (!quantity) {
        messages.show("Specify a quantity to print.", MessageIcon::Warning);
        return AfterNestedPrint::KeepWindow;
    }
    // A later Locate in the main window may have found no order.
    if (!request.main.rsHDR) {
        messages.show("Cannot find this Job.  Try Again.", MessageIcon::Critical);
        return AfterNestedPrint::KeepWindow;
    }
    odbc::ResultSet rsOPER = queryOperation(db, request.main.texts);
    if (rsOPER.eof()) {
        messages.show("An operation could not be found for this Shop Order.", MessageIcon::Critical);
        return AfterNestedPrint::DiscardWindow;
    }
    PrintStream output(request.main.printer, request.progress);
    if (!output.open(messages))
        return AfterNestedPrint::KeepWindow;
    if (sendTickets(rsOPER, *request.main.rsHDR, request, *quantity, output, messages) &&
        output.finish(messages))
        result.preview = output.takePreview();
    return AfterNestedPrint::KeepWindow;
}

}  // namespace

NestedPrintResult printNestedTickets(DatabaseSession& db, const NestedPrintRequest& request)
{
    NestedPrintResult result;
    MessageList messages;
    try {
        result.after = runSteps(db, request, result, messages);
    } catch (const odbc::Error& error) {
        messages.show(odbc::describe(error), MessageIcon::Critical);
    }
    result.messages = std::move(messages.shown);
    return result;
}
