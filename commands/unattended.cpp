#include "commands/unattended.h"

#include "exactly_once/cups_runs.h"
#include "exactly_once/request_id.h"

#include <algorithm>
#include <functional>

RunStart claimedStart(const OrderAsk& ask, const std::optional<NestedTexts>& nested)
{
    RunStart start = runStart(ask.source, ask.printer);
    start.requestId = ask.requestId;
    start.location = ask.order.location;
    start.order = ask.orderText;
    start.suffix = ask.order.suffix;
    start.operation = ask.operation;
    start.quantity = ask.quantity;
    start.user = ask.user;
    start.asked = askedOf(ask.printer, nested ? &*nested : nullptr);
    return start;
}

namespace {

// Not cancelled, though this service gave it up: it is another's to print
// (or this one's, started again).
int answerReturnedToQueue(std::int64_t run, Answer& answer)
{
    QJsonObject fields = noRunFields("queued");
    fields.insert("run", static_cast<qint64>(run));
    return answer.end(inProgressElsewhere, reason::returnedToQueue, fields);
}

}  // namespace

int printOrder(OrderRun& run, const OrderAsk& ask, const std::shared_ptr<JournalAccess>& journal,
               std::shared_ptr<PrintProgress> progress, std::int64_t claimed, Answer& answer)
{
    const std::variant<OrderHeader, int> located = run.locate(ask.order, answer);
    if (const int* status = std::get_if<int>(&located)) {
        endClaim(*journal, claimed, 0, answer.messages.shown);
        return *status;
    }
    PrintRequest request;
    request.order = ask.order;
    request.operation = chooseOperation(ask.operation, ask.operation);
    request.quantity = parseQuantity(ask.quantity);
    request.header = std::get<OrderHeader>(located);
    request.printer = {ask.printer, false};
    request.progress = progress;
    request.journal = journal;
    request.source = ask.source;
    request.journalRun = claimed;
    const PrintResult result = run.await<PrintResult>(
        [&](std::function<void(PrintResult)> apply) { return run.commands().print(std::move(request), apply); });
    if (result.gaveUpForPrinter && progress && progress->leaving() &&
        returnToSharedQueue(*journal, claimed, result.tickets.sent))
        return answerReturnedToQueue(claimed, answer);
    answer.messages.showAll(result.messages);
    endClaim(*journal, claimed, result.tickets.sent, answer.messages.shown);
    return finishRun(result, recordOf(journal, result.journalRun), answer);
}

int printNestedCard(OrderRun& run, const OrderAsk& ask, const NestedTexts& typed,
                    const std::shared_ptr<JournalAccess>& journal, std::shared_ptr<PrintProgress> progress,
                    std::int64_t claimed, Answer& answer)
{
    const std::variant<OrderHeader, int> located = run.locate(ask.order, answer);
    if (const int* status = std::get_if<int>(&located)) {
        endClaim(*journal, claimed, 0, answer.messages.shown);
        return *status;
    }
    const MainWindowTexts boxes{ask.orderText, ask.order.suffix, ask.order.location, ask.operation, ask.quantity};
    NestedPrintRequest request =
        nestedPrintRequest(boxes, std::get<OrderHeader>(located), ask.printer, typed, progress);
    request.journal = journal;
    request.source = ask.source;
    request.journalRun = claimed;
    const NestedPrintResult result = run.await<NestedPrintResult>([&](std::function<void(NestedPrintResult)> apply) {
        return run.commands().printNested(std::move(request), apply);
    });
    if (result.gaveUpForPrinter && progress && progress->leaving() &&
        returnToSharedQueue(*journal, claimed, result.tickets.sent))
        return answerReturnedToQueue(claimed, answer);
    answer.messages.showAll(result.messages);
    endClaim(*journal, claimed, result.tickets.sent, answer.messages.shown);
    if (result.notForThisPrinter)
        return answer.end(nothingPrinted, reason::wrongPrinterType, runFields("refused", result.tickets, std::nullopt));
    return finishRun(result, recordOf(journal, result.journalRun), answer);
}

int printAgain(OrderRun& run, ReprintRequest request, Answer& answer)
{
    const std::shared_ptr<JournalAccess> access = request.journal;
    const std::int64_t named = request.run;
    const std::int64_t recorded = request.journalRun;
    const PrintResult result = run.await<PrintResult>(
        [&](std::function<void(PrintResult)> apply) { return run.commands().reprint(std::move(request), apply); });
    answer.messages.showAll(result.messages);
    endClaim(*access, recorded, result.tickets.sent, answer.messages.shown);
    if (result.restTaken)
        return answerTaken(*access, named, answer);
    if (result.notForThisPrinter)
        return answer.end(nothingPrinted, reason::wrongPrinterType, runFields("refused", result.tickets, std::nullopt));
    return finishRun(result, recordOf(access, result.journalRun), answer);
}
