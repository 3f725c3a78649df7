#include "app/order_lookup.h"

#include "platform/text.h"
#include "tickets/order_values.h"

namespace {

using Outcome = LocateResult::Outcome;

LocateResult failure(Outcome outcome, const char* message, MessageBox& messages)
{
    messages.show(message, MessageIcon::Critical);
    return {outcome, {}, {}};
}

LocateResult findOrder(SharedState& state, const LocateRequest& request, MessageBox& messages)
{
    if (characterCount(request.order) > orderKeyWidth)
        return failure(Outcome::OrderTooLong, "Order # length cannot exceed 9.", messages);

    const std::string key = orderKey(request.order);
    const std::string location(text::trimSpaces(request.location));
    const std::string suffix(text::trimSpaces(request.suffix));
    // A suffix that is not a whole number belongs to no order.
    const std::optional<std::int64_t> suffixNumber = wholeNumber(suffix);
    state.rsHDR = suffixNumber ? state.query("select * from PUBLIC.SHPORD_HDR where ID_SO = ? and "
                                             "ID_LOC = ? and SUFX_SO = ?",
                                             {key, location, suffix})
                               : odbc::ResultSet();
    if (state.rsHDR.eof())
        return failure(Outcome::NotFound, "Cannot find this Job.  Try Again.", messages);

    LocateResult result;
    result.partNumber = state.rsHDR.text("ID_ITEM_PAR");
    state.rsOPER = state.query("select * from PUBLIC.SHPORD_OPER where ID_SO = ? and ID_LOC = ? "
                               "and TYPE_OPER <> 'S' and SUFX_SO = ?",
                               {key, location, *suffixNumber});
    if (state.rsOPER.eof()) {
        messages.show("There are no Operations for this Shop Order.", MessageIcon::Critical);
        result.outcome = Outcome::NoOperations;
        return result;
    }
    for (; !state.rsOPER.eof(); state.rsOPER.moveNext())
        result.operations.push_back(state.rsOPER.text("ID_OPER"));
    result.outcome = Outcome::Found;
    return result;
}

}  // namespace

LocateResult locateOrder(SharedState& state, const LocateRequest& request, MessageBox& messages)
{
    try {
        return findOrder(state, request, messages);
    } catch (const odbc::Error& error) {
        messages.show(odbc::describe(error), MessageIcon::Critical);
        return {Outcome::Failed, {}, {}};
    }
}
