#include "tickets/print_run.h"

#include "barcode/rv_barcode.h"
#include "platform/printer_device.h"
#include "platform/qt_ui.h"
#include "platform/text.h"
#include "tickets/epson_page.h"
#include "tickets/order_values.h"
#include "tickets/successor.h"
#include "tickets/zebra_job.h"

#include <optional>

namespace {

const std::string operationsOfOrder =
    "select * from PUBLIC.SHPORD_OPER where ID_SO = ? and ID_LOC = ? and SUFX_SO = ?";
const std::string printableOperations = operationsOfOrder + " and TYPE_OPER <> 'S'";
const std::string oneOperation = printableOperations + " AND ID_OPER = ?";
const std::string itemOfPart = "select * from PUBLIC.ITMMAS_BASE where ID_ITEM = ?";

constexpr const char* noOperations = "There are no Operations for this Shop Order.";

// What the boxes say, as the queries compare it.
struct OrderSelection {
    std::string key;
    std::string location;
    std::optional<std::int64_t> suffix;
};

// The operations to print. A suffix or an operation that is not a whole
// number matches no row, so nothing is queried for it.
odbc::ResultSet queryOperations(SharedState& state, const OrderSelection& order,
                                const PrintRequest& request)
{
    if (!order.suffix)
        return {};
    if (request.operationText == "All")
        return state.query(printableOperations, {order.key, order.location, *order.suffix});
    const std::optional<std::int64_t> operation = wholeNumber(request.selectedOperation);
    if (!operation)
        return {};
    return state.query(oneOperation, {order.key, order.location, *order.suffix, *operation});
}

class TicketBuilder {
public:
    TicketBuilder(const SharedState& state, const PrintRequest& request, const Quantity& quantity)
        : state_(state),
          successors_(state.rsOPERNEXT),
          orderCode_(zeroFilled(request.order, 6)),
          suffixCode_(zeroFilled(request.suffix, 3)),
          labelQty_(quantity.text)
    {
    }

    // The ticket of rsOPER's current row.
    TicketData build() const
    {
        const odbc::ResultSet& header = state_.rsHDR;
        const odbc::ResultSet& operation = state_.rsOPER;
        const odbc::ResultSet& item = state_.rsITEM;
        TicketData t;
        t.orderNo = printedOrderNumber(header.text("ID_SO"));
        t.location = header.text("ID_LOC");
        t.suffix = header.text("SUFX_SO");
        t.partNo = header.text("ID_ITEM_PAR");
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
        const odbc::ResultSet& candidates = state_.rsOPERNEXT;
        const odbc::ResultSet::Row& row = candidates.row(*next);
        const auto column = [&](const char* name) {
            return row[candidates.columnIndex(name)].value_or(std::string());
        };
        t.nextOper = column("ID_OPER");
        t.nextDept = column("ID_DEPT") + " " + column("ID_WC");
        t.nextDescr = column("DESCR_OPER_1");
    }

    const SharedState& state_;
    SuccessorIndex successors_;
    std::string orderCode_;
    std::string suffixCode_;
    std::string labelQty_;
};

// Every ticket of rsOPER, in the order the database returned the rows: one
// Zebra job per operation (the printer makes the copies), or one EPSON page
// per copy.
std::string renderTickets(SharedState& state, const PrintRequest& request, const Quantity& quantity,
                          bool& extraLine)
{
    const TicketBuilder builder(state, request, quantity);
    std::optional<RvBarCode> barcode;
    std::string output;
    for (state.rsOPER.moveFirst(); !state.rsOPER.eof(); state.rsOPER.moveNext()) {
        const TicketData ticket = builder.build();
        if (state.printer.boolZebra) {
            output += zebraJob(ticket);
        } else if (state.printer.boolEpson) {
            for (int copy = 1; copy <= quantity.copies; ++copy) {
                if (!barcode)
                    barcode.emplace();
                output += epsonPage(ticket, *barcode, extraLine);
            }
        }
        processPendingEvents();
    }
    return output;
}

void runSteps(SharedState& state, const PrintRequest& request, bool& extraLine,
              MessageBox& messages)
{
    const OrderSelection order{orderKey(request.order),
                               std::string(text::trimSpaces(request.location)),
                               wholeNumber(request.suffix)};
    state.rsOPER = queryOperations(state, order, request);
    if (state.rsOPER.eof()) {
        messages.show(noOperations, MessageIcon::Critical);
        return;
    }
    const std::optional<Quantity> quantity = parseQuantity(request.quantity);
    if (!quantity) {
        messages.show("Specify a quantity to print.", MessageIcon::Warning);
        return;
    }
    PrinterDevice device;
    if (!device.open(state.printer.pname)) {
        messages.show(printerNotAvailable(state.printer.pname), MessageIcon::None);
        return;
    }
    const std::string partNo = state.rsHDR.text("ID_ITEM_PAR");
    state.rsITEM = state.query(itemOfPart, {std::string(text::trimSpaces(partNo))});
    if (state.rsITEM.eof()) {
        messages.show("The item " + partNo + " is not defined in the Item Master. Seek Help.",
                      MessageIcon::Critical);
        return;
    }
    state.rsOPERNEXT = state.query(operationsOfOrder, {order.key, order.location, *order.suffix});

    const bool extraLineBefore = extraLine;
    const std::string output = renderTickets(state, request, *quantity, extraLine);
    const bool written = device.write(output);
    if (!device.close() || !written) {
        extraLine = extraLineBefore;  // no page reached the printer
        messages.show(printerNotAvailable(state.printer.pname), MessageIcon::None);
    }
}

}  // namespace

void printTickets(SharedState& state, const PrintRequest& request, bool& extraLine,
                  MessageBox& messages)
{
    const BusyPointer busy;
    processPendingEvents();
    try {
        runSteps(state, request, extraLine, messages);
    } catch (const odbc::Error& error) {
        messages.show(odbc::describe(error), MessageIcon::Critical);
    } catch (const std::length_error& error) {
        messages.show(error.what(), MessageIcon::Critical);
    }
    processPendingEvents();
}
