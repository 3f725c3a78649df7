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
    return std::make_shared<DatabaseSession>(connectionString, driverTimeouts);
}

void Commands::beginCommand(std::function<void()> giveUp)
{
    if (busyChanged)
        busyChanged(true);
    giveUp_ = std::move(giveUp);
    watchdog_.start(std::clamp<std::chrono::milliseconds>(databaseTimeout_ / 20, 10ms, 250ms));
}

void Commands::endCommand()
{
    watchdog_.stop();
    giveUp_ = nullptr;
    if (busyChanged)
        busyChanged(false);
}

void Commands::watchDatabase()
{
    const auto waiting = db_->callRunningFor();
    if (!runner_.busy() || !waiting || *waiting < databaseTimeout_)
        return;
    runner_.abandon();
    // The stalled call keeps the old session and closes it when it returns.
    db_ = newSession();
    const std::function<void()> giveUp = std::move(giveUp_);
    giveUp();
}

void Commands::finishOrAbandon(std::chrono::milliseconds timeout)
{
    if (!runner_.busy())
        return;
    if (runner_.waitForWork(timeout)) {
        QCoreApplication::sendPostedEvents(&receiver_, QEvent::MetaCall);
        return;
    }
    runner_.abandon();
    endCommand();
    // The stuck call keeps the old session and closes it when it returns.
    db_ = newSession();
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
