#include "commands/order_run.h"

#include "commands/order_lookup.h"
#include "commands/startup.h"

OrderRun::OrderRun(std::chrono::milliseconds databaseTimeout) : commands_(receiver_)
{
    commands_.setDatabaseTimeout(databaseTimeout);
}

std::variant<OrderHeader, int> OrderRun::locate(const OrderSelection& order, Answer& answer)
{
    // A session kept open by an earlier request is used as it is: a query
    // on a lost connection reconnects once on its own.
    if (!commands_.database().isOpen()) {
        const auto opened = commands_.runAndWait<OpenDatabaseResult>(
            [](DatabaseSession& db, std::stop_token) { return openDatabaseCommand(db); });
        answer.messages.showAll(opened->messages);
        if (!opened->opened)
            return answer.end(databaseFault,
                              opened->loginUnusable ? reason::credentialsUnusable : reason::databaseUnreachable,
                              {{"outcome", "database fault"}});
    }
    const LocateRequest request{order};
    const auto located = commands_.runAndWait<LocateResult>(
        [request](DatabaseSession& db, std::stop_token) { return locateOrder(db, request); });
    answer.messages.showAll(located->messages);
    if (located->outcome == LocateResult::Outcome::Failed)
        return answer.end(databaseFault, reason::databaseUnreachable, {{"outcome", "database fault"}});
    if (!located->header)
        return answer.end(nothingPrinted, reason::notFound);
    return *located->header;
}
