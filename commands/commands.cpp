#include "commands/commands.h"

#include "commands/startup.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <algorithm>
#include <stdexcept>

using namespace std::chrono_literals;

Commands::Commands(QObject& receiver) : receiver_(receiver), runner_(receiver)
{
    QObject::connect(&watchdog_, &QTimer::timeout, &watchdog_, [this] { watchDatabase(); });
}

std::shared_ptr<DatabaseSession> Commands::newSession()
{
    return std::make_shared<DatabaseSession>(databaseConnectionString(), driverTimeouts);
}

void Commands::beginCommand(std::function<void()> giveUp)
{
    if (busyChanged)
        busyChanged(true);
    giveUp_ = std::move(giveUp);
    watchdog_.start(std::clamp<std::chrono::milliseconds>(databaseTimeout_ / 20, 10ms, 250ms));
}

bool Commands::print(PrintRequest request, std::function<void(PrintResult)> apply)
{
    // A run given up for its database prints nothing.
    return runPrinting<PrintRequest>(
        std::move(request),
        [](const PrintRequest& run, DatabaseSession& db, std::stop_token stop) { return printTickets(db, run, stop); },
        std::move(apply), PrintEnding::DatabaseFault);
}

bool Commands::reprint(ReprintRequest request, std::function<void(PrintResult)> apply)
{
    return runPrinting<ReprintRequest>(
        std::move(request),
        [](const ReprintRequest& run, DatabaseSession&, std::stop_token stop) { return reprintTickets(run, stop); },
        std::move(apply), PrintEnding::Stopped);
}

bool Commands::printNested(NestedPrintRequest request, std::function<void(NestedPrintResult)> apply)
{
    if (!request.progress)
        request.progress = std::make_shared<PrintProgress>();
    const std::shared_ptr<PrintProgress> progress = request.progress;
    NestedPrintResult givenUp;  // a run given up for its database prints nothing
    givenUp.outcome = PrintEnding::DatabaseFault;
    const bool started = runStoppable<NestedPrintResult>(
        [request = std::move(request)](DatabaseSession& db, std::stop_token stop) {
            return printNestedTickets(db, request, stop);
        },
        std::move(apply), givenUp);
    if (started)
        printing_ = progress;
    return started;
}

void Commands::endCommand()
{
    watchdog_.stop();
    giveUp_ = nullptr;
    printing_.reset();
    if (busyChanged)
        busyChanged(false);
}

void Commands::watchDatabase()
{
    const auto waiting = db_->callRunningFor();
    if (!runner_.busy() || !waiting || *waiting < databaseTimeout_)
        return;
    const std::function<void()> giveUp = std::move(giveUp_);
    giveUpCommand();
    giveUp();
}

// The given-up command's stop token is set; its stalled call keeps the old
// session and closes it when it returns.
void Commands::giveUpCommand()
{
    if (printing_)
        printing_->cancel();
    runner_.abandon();
    db_ = newSession();
}

void Commands::finishOrAbandon(std::chrono::milliseconds grace)
{
    if (!runner_.busy())
        return;
    const auto started = std::chrono::steady_clock::now();
    // A printer takes the ticket it is sent, or fails, within its stall and
    // close limits; a database call has had its chance after grace.
    std::chrono::milliseconds limit = grace;
    if (printing_) {
        printing_->cancel();
        const DestinationLimits& printerLimits = printer_.settings.limits;
        limit = std::max(grace, printerLimits.stallTimeout + printerLimits.closeWait);
    }
    for (;;) {
        if (runner_.waitForWork(std::min(grace, 50ms))) {
            QCoreApplication::sendPostedEvents(&receiver_, QEvent::MetaCall);
            return;
        }
        const auto waited = std::chrono::steady_clock::now() - started;
        const auto inCall = db_->callRunningFor();
        if (waited >= limit || (inCall && *inCall >= grace))
            break;
    }
    giveUpCommand();
    endCommand();
}

Message Commands::noAnswer()
{
    return {"The database did not answer within 30 seconds.", MessageIcon::Critical};
}

Message Commands::unexpectedFailure(const std::exception_ptr& error)
{
    std::string detail = "unknown error";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        detail = e.what();
    } catch (...) {
    }
    return {"The command stopped because of an unexpected error.\n" + detail, MessageIcon::Critical};
}
