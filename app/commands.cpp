#include "app/commands.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <stdexcept>

Commands::Commands(QObject& receiver) : receiver_(receiver), runner_(receiver) {}

void Commands::finishOrAbandon(std::chrono::milliseconds timeout)
{
    if (!runner_.busy())
        return;
    if (runner_.waitForWork(timeout)) {
        QCoreApplication::sendPostedEvents(&receiver_, QEvent::MetaCall);
        return;
    }
    runner_.abandon();
    busy_.reset();
    // The stuck call keeps the old session and closes it when it returns.
    db_ = std::make_shared<DatabaseSession>();
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
