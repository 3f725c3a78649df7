#include "commands/printed_elsewhere.h"

#include "journal/station_name.h"
#include "text/text.h"

#include <QDateTime>

#include <limits>

namespace {

// The suffix a run recorded, as typed: 0 and 00 name one order.
bool sameSuffix(const std::string& recorded, const OrderSelection& order)
{
    return recorded == order.suffix || (order.suffixNumber && wholeNumber(recorded) == order.suffixNumber);
}

}  // namespace

std::optional<RunRecord> recentRunElsewhere(Journal& journal, const OrderSelection& order, std::int64_t since)
{
    const std::string here = stationName().toStdString();
    const std::string recordedOrder(text::trimSpaces(order.key));
    // An order's runs of one hour are few: all of them, not a page. One
    // still printing, or whose tickets are in doubt, may have printed too.
    for (RunRecord& run : journal.runs(std::numeric_limits<int>::max(), recordedOrder, since))
        if ((run.confirmed > 0 || run.inDoubt > 0 || run.ended == 0) && !run.station.empty() && run.station != here && run.location == order.location &&
            sameSuffix(run.suffix, order))
            return std::move(run);
    return std::nullopt;
}

PrintedElsewhere findPrintedElsewhere(const std::shared_ptr<JournalAccess>& journal, const OrderSelection& order)
{
    if (!journal)
        return {};
    const std::int64_t since =
        QDateTime::currentMSecsSinceEpoch() - std::chrono::milliseconds(printedElsewhereWithin).count();
    try {
        MessageList unseen;
        const std::unique_ptr<Journal> connection = journal->open(unseen);
        if (!connection)
            return {};
        return {{}, recentRunElsewhere(*connection, order, since)};
    } catch (const std::exception&) {
        return {};
    }
}

std::string printAgainQuestion(const RunRecord& run)
{
    return "Order " + run.order + " was printed at station " + run.station + " at " +
           QDateTime::fromMSecsSinceEpoch(run.started).toString("HH:mm").toStdString() + " (run " +
           std::to_string(run.id) + "). Print it again?";
}
