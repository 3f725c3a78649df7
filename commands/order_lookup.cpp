#include "commands/order_lookup.h"


namespace {

using Outcome = LocateResult::Outcome;

LocateResult failure(Outcome outcome, std::string message)
{
    LocateResult result;
    result.outcome = outcome;
    result.messages.push_back({std::move(message), MessageIcon::Critical});
    return result;
}

LocateResult findOrder(DatabaseSession& db, const LocateRequest& request)
{
    const OrderSelection& order = request.order;
    if (order.typedLength > orderKeyWidth)
        return failure(Outcome::OrderTooLong, "Order # length cannot exceed 9.");

    // A suffix that is not a whole number belongs to no order.
    const odbc::ResultSet headers =
        order.suffixNumber ? db.query("select * from PUBLIC.SHPORD_HDR where ID_SO = ? and "
                                      "ID_LOC = ? and SUFX_SO = ?",
                                      {order.key, order.location, order.suffix})
                           : odbc::ResultSet();
    if (headers.eof())
        return failure(Outcome::NotFound, "Cannot find this Job.  Try Again.");

    LocateResult result;
    result.header = OrderHeader{headers.text("ID_SO"), headers.text("ID_LOC"), headers.text("SUFX_SO"),
                                headers.text("ID_ITEM_PAR")};
    odbc::ResultSet operations = db.query("select * from PUBLIC.SHPORD_OPER where ID_SO = ? and ID_LOC = ? "
                                          "and TYPE_OPER <> 'S' and SUFX_SO = ?",
                                          {order.key, order.location, *order.suffixNumber});
    if (operations.eof()) {
        result.messages.push_back({"There are no Operations for this Shop Order.", MessageIcon::Critical});
        result.outcome = Outcome::NoOperations;
        return result;
    }
    for (; !operations.eof(); operations.moveNext())
        result.operations.push_back(operations.text("ID_OPER"));
    result.outcome = Outcome::Found;
    return result;
}

}  // namespace

LocateResult locateOrder(DatabaseSession& db, const LocateRequest& request)
{
    try {
        return findOrder(db, request);
    } catch (const odbc::Error& error) {
        return failure(Outcome::Failed, odbc::describe(error));
    }
}
