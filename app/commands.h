#pragma once
// Runs the commands of both windows one at a time, off the window's thread,
// and owns what they share: the database session, which only the running
// command touches, and the printer session. A command is a function from a
// request to a result; the window reads its boxes into the request and
// applies the result when it comes back.

#include "platform/database_session.h"
#include "platform/job_runner.h"
#include "platform/printer_settings.h"
#include "platform/qt_ui.h"

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QObject;

class Commands {
public:
    // Results are applied on the receiver's thread while it lives.
    explicit Commands(QObject& receiver);

    DatabaseSession& database() { return *db_; }
    PrinterSession& printer() { return printer_; }

    bool running() const { return runner_.busy(); }

    // Runs command(database) as a job, then apply(result). Any exception
    // the command throws becomes a result whose one message reports it. The
    // busy pointer shows until apply is called. False, and nothing run,
    // while another command runs.
    template <class Result>
    bool run(std::function<Result(DatabaseSession&)> command, std::function<void(Result)> apply)
    {
        std::shared_ptr<DatabaseSession> db = db_;
        const bool started = runner_.runThenCallback<Result>(
            [command = std::move(command), db] { return command(*db); },
            [this, apply](Result result) {
                busy_.reset();
                apply(std::move(result));
            },
            [this, apply](std::exception_ptr error) {
                busy_.reset();
                Result result{};
                result.messages = {unexpectedFailure(error)};
                apply(std::move(result));
            });
        if (started)
            busy_.emplace();
        return started;
    }

    // For closing: waits at most timeout for the running command and applies
    // its result; a command still stuck in a call then is given up with its
    // database session, so that it cannot hold the program.
    void finishOrAbandon(std::chrono::milliseconds timeout);

private:
    static Message unexpectedFailure(const std::exception_ptr& error);

    QObject& receiver_;
    std::shared_ptr<DatabaseSession> db_ = std::make_shared<DatabaseSession>();
    PrinterSession printer_;
    JobRunner runner_;
    std::optional<BusyPointer> busy_;
};
