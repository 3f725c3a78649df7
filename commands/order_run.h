#pragma once
// The commands run for a caller without a window: on the calling thread's
// event loop, one after another, with the watchdog on their database calls.
// Each OrderRun owns its database session, so a thread that owns one never
// shares an ODBC connection with another.

#include "commands/commands.h"
#include "exactly_once/answer.h"

#include <QEventLoop>
#include <QObject>

#include <chrono>
#include <functional>
#include <optional>
#include <variant>

class OrderRun {
public:
    explicit OrderRun(std::chrono::milliseconds databaseTimeout);

    Commands& commands() { return commands_; }

    // Connects (again, when the session was lost or given up) and locates
    // the order as Locate does: its header, or the status answered.
    std::variant<OrderHeader, int> locate(const OrderSelection& order, Answer& answer);

    // Starts a command with start(apply) and waits for its result.
    template <class Result>
    Result await(const std::function<bool(std::function<void(Result)>)>& start)
    {
        std::optional<Result> outcome;
        QEventLoop loop;
        if (start([&](Result result) {
                outcome = std::move(result);
                loop.quit();
            }))
            loop.exec();
        return std::move(*outcome);
    }

private:
    QObject receiver_;
    Commands commands_;
};
