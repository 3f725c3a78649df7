#pragma once
// Runs the commands of both windows one at a time, off the window's thread,
// and owns what they share: the database session, which only the running
// command touches, and the printer session. A command is a function from a
// request to a result; the window reads its boxes into the request and
// applies the result when it comes back.
//
// A watchdog on the window's thread ends a command whose database call goes
// unanswered for too long, whatever the driver does: the command is given up
// with its session (closed when its call returns) and the next command
// connects afresh. Only database calls are watched: a print run may take as
// long as its printer does. A command given up gets its stop token set, and
// a print run its progress cancelled: it sends nothing more to the printer.

#include "commands/job_runner.h"
#include "commands/nested_print_run.h"
#include "commands/print_run.h"
#include "commands/reprint.h"
#include "db/database_session.h"
#include "printing/printer_settings.h"
#include "text/message_box.h"

#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
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

    // Called with true when a command starts and with false before its
    // result is applied: the window shows the busy pointer in between.
    std::function<void(bool busy)> busyChanged;

    // Runs command(database, stop) as a job, then apply(result). stop is
    // set when the command is given up. A command that throws, or whose
    // database call goes unanswered, ends with unchanged and one message
    // that says so. False, and nothing run, while another command runs.
    template <class Result>
    bool runStoppable(std::function<Result(DatabaseSession&, std::stop_token)> command,
                      std::function<void(Result)> apply, Result unchanged = {})
    {
        std::shared_ptr<DatabaseSession> db = db_;
        auto finish = [this, apply](Result result) {
            endCommand();
            apply(std::move(result));
        };
        auto stop = [finish, unchanged = std::move(unchanged)](Message message) {
            Result result = unchanged;
            result.messages = {std::move(message)};
            finish(std::move(result));
        };
        const bool started = runner_.runThenCallback<Result>(
            [command = std::move(command), db](std::stop_token token) { return command(*db, token); }, finish,
            [stop](std::exception_ptr error) { stop(unexpectedFailure(error)); });
        if (started)
            beginCommand([stop] { stop(noAnswer()); });
        return started;
    }

    // The same for a command that only reads the database.
    template <class Result>
    bool run(std::function<Result(DatabaseSession&)> command, std::function<void(Result)> apply,
             Result unchanged = {})
    {
        return runStoppable<Result>(
            [command = std::move(command)](DatabaseSession& db, std::stop_token) { return command(db); },
            std::move(apply), std::move(unchanged));
    }

    // Runs command as runStoppable does and waits for its result while the
    // receiver's thread goes on with its events: for start-up and the
    // command line, where nothing else is to be done meanwhile. Nothing
    // while another command runs.
    template <class Result>
    std::optional<Result> runAndWait(std::function<Result(DatabaseSession&, std::stop_token)> command,
                                     Result unchanged = {})
    {
        std::optional<Result> outcome;
        QEventLoop loop;
        const auto keep = [&outcome, &loop](Result result) {
            outcome = std::move(result);
            loop.quit();
        };
        if (runStoppable<Result>(std::move(command), keep, std::move(unchanged)))
            loop.exec();
        return outcome;
    }

    // Runs a print run; the printer session takes up where the run left its
    // EPSON alternation before apply is called.
    bool print(PrintRequest request, std::function<void(PrintResult)> apply);

    // Runs Print the Rest or Reprint, as print does.
    bool reprint(ReprintRequest request, std::function<void(PrintResult)> apply);

    // Runs a print run of the nested-part window.
    bool printNested(NestedPrintRequest request, std::function<void(NestedPrintResult)> apply);

    // The longest a database call may go unanswered; tests shorten it.
    void setDatabaseTimeout(std::chrono::milliseconds limit) { databaseTimeout_ = limit; }

    // For closing: a print run is cancelled, to stop after the ticket it is
    // sending, and waited for as long as its printer may take to take that
    // ticket; any other command is waited for at most grace. Then the result
    // is applied. A command stuck in a database call for grace is given up
    // with its database session, so that it cannot hold the program.
    void finishOrAbandon(std::chrono::milliseconds grace);

private:
    // A run of tickets: its progress is kept, to be cancelled when the run
    // is given up, and the printer session takes up where the run left its
    // EPSON alternation.
    template <class Request>
    bool runPrinting(Request request, PrintResult (*job)(const Request&, DatabaseSession&, std::stop_token),
                     std::function<void(PrintResult)> apply, PrintEnding givenUp)
    {
        if (!request.progress)
            request.progress = std::make_shared<PrintProgress>();
        const std::shared_ptr<PrintProgress> progress = request.progress;
        const bool extraLine = request.printer.extraLine;
        const bool started = runStoppable<PrintResult>(
            [request = std::move(request), job](DatabaseSession& db, std::stop_token stop) {
                return job(request, db, stop);
            },
            [this, apply = std::move(apply)](PrintResult result) {
                printer_.extraLine = result.extraLine;
                apply(std::move(result));
            },
            PrintResult{{}, extraLine, std::nullopt, givenUp, {}});
        if (started)
            printing_ = progress;
        return started;
    }

    static Message unexpectedFailure(const std::exception_ptr& error);
    static Message noAnswer();
    static std::shared_ptr<DatabaseSession> newSession();

    void beginCommand(std::function<void()> giveUp);
    void endCommand();
    void watchDatabase();
    void giveUpCommand();

    QObject& receiver_;
    std::shared_ptr<DatabaseSession> db_ = newSession();
    PrinterSession printer_;
    JobRunner runner_;
    std::chrono::milliseconds databaseTimeout_{std::chrono::seconds(30)};
    QTimer watchdog_;
    std::function<void()> giveUp_;  // ends the running command when its call goes unanswered
    std::shared_ptr<PrintProgress> printing_;  // the running print run's, if one runs
};
