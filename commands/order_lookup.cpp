#include "commands/order_lookup.h"

#include "text/text.h"
#include "commands/order_values.h"

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
    if (text::characterCount(request.order) > orderKeyWidth)
        return failure(Outcome::OrderTooLong, "Order # length cannot exceed 9.");

    const std::string key = orderKey(request.order);
    const std::string location(text::trimSpaces(request.location));
    const std::string suffix(text::trimSpaces(request.suffix));
    // A suffix that is not a whole number belongs to no order.
    const std::optional<std::int64_t> suffixNumber = wholeNumber(suffix);
    const odbc::ResultSet rsHDR =
        suffixNumber ? db.query("select * from PUBLIC.SHPORD_HDR where ID_SO = ? and "
                                "ID_LOC = ? and SUFX_SO = ?",
                                {key, location, suffix})
                     : odbc::ResultSet();
    if (rsHDR.eof())
        return failure(Outcome::NotFound, "Cannot find this Job.  Try Again.");

    LocateResult result;
    result.rsHDR = OrderHeader{rsHDR.text("ID_SO"), rsHDR.text("ID_LOC"), rsHDR.text("SUFX_SO"),
                               rsHDR.text("ID_ITEM_PAR")};
    odbc::ResultSet rsOPER = db.query("select * from PUBLIC.SHPORD_OPER where ID_SO = ? and ID_LOC = ? "
                                      "and TYPE_OPER <> 'S' and SUFX_SO = ?",
                                      {key, location, *suffixNumber});
    if (rsOPER.eof()) {
        result.messages.push_back({"There are no Operations for this Shop Order.", MessageIcon::Critical});
        result.outcome = Outcome::NoOperations;
        return result;
    }
    for (; !rsOPER.eof(); rsOPER.moveNext())
        result.operations.push_back(rsOPER.text("ID_OPER"));
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
