#include "cli/sub_command.h"

#include "commands/startup.h"

#include <QThread>

namespace cli {
namespace {

constexpr auto readEvery = std::chrono::milliseconds(250);

// The run once it has ended, or as it stands when wait has passed.
std::optional<RunRecord> waitForEnd(Journal& journal, std::int64_t run, std::chrono::seconds wait)
{
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        std::optional<RunRecord> record = journal.run(run);
        if (!record || record->ended || std::chrono::steady_clock::now() >= until)
            return record;
        QThread::msleep(static_cast<unsigned long>(readEvery.count()));
    }
}

}  // namespace

int cancel(const QStringList& arguments, const Environment& environment)
{
    SubCommand command("cancel", "cancel --run N [--wait SECONDS] [--json]", arguments);
    const QCommandLineOption runNamed("run", "The run to stop: one waiting to begin prints nothing, one printing "
                                             "stops after the ticket its printer takes.", "N");
    const QCommandLineOption waitOption("wait", "How long to wait for the run to end (default 30).", "SECONDS", "30");
    const QCommandLineOption json("json", "Write the outcome as one JSON object to standard output.");
    command.parser().addOptions({runNamed, waitOption, json});
    if (const std::optional<int> status = command.parse({&runNamed}))
        return *status;
    const std::optional<std::int64_t> run = runOption(command, runNamed);
    if (!run)
        return command.refuse("--run takes a run number");
    const std::optional<int> wait = strictCount(command.parser().value(waitOption), 3600);
    if (!wait && command.parser().value(waitOption) != "0")
        return command.refuse("--wait takes a number of seconds up to 3600");
    Answer answer(command.parser().isSet(json), noRunFields());
    const std::shared_ptr<JournalAccess> access = openStationJournal(environment.programDir, answer.messages);
    const std::unique_ptr<Journal> journal = access->open(answer.messages);
    if (!journal)
        return answer.refuse("Runs are cancelled through the print journal, which cannot be used.", nothingPrinted,
                             reason::journalUnusable);
    const std::string number = std::to_string(*run);
    try {
        // A run whose program is gone is interrupted, not stopped: nothing would read the request.
        journal->closeInterruptedRuns();
        switch (journal->askStop(*run)) {
        case Journal::StopAsk::Unknown:
            return answer.refuse("No run " + number + " is in the print journal.", nothingPrinted, reason::notFound);
        case Journal::StopAsk::Ended:
            return answer.refuse("Run " + number + " has ended.", nothingPrinted, reason::runEnded);
        case Journal::StopAsk::Asked: break;
        }
        const std::optional<RunRecord> record = waitForEnd(*journal, *run, std::chrono::seconds(wait.value_or(0)));
        const TicketCount count{record ? record->confirmed : 0, record ? record->planned : 0};
        if (!record || !record->ended) {
            answer.messages.show("Run " + number + " was asked to stop; it has not ended yet.", MessageIcon::Warning);
            return answer.end(inProgressElsewhere, reason::stopPending, runFields("running", count, record));
        }
        const std::string counts = std::to_string(record->confirmed) + " of " + std::to_string(record->planned) +
                                   " tickets sent" +
                                   (record->inDoubt ? ", " + std::to_string(record->inDoubt) + " in doubt." : ".");
        if (record->outcome != outcomeName(RunOutcome::Cancelled)) {
            answer.messages.show("Run " + number + " ended " + record->outcome + " before it could stop: " + counts,
                                 MessageIcon::Warning);
            return answer.end(nothingPrinted, reason::runEnded, runFields(record->outcome.c_str(), count, record));
        }
        answer.messages.show("Run " + number + " stopped: " + counts, MessageIcon::None);
        return answer.end(allSent, reason::cancelled, runFields(record->outcome.c_str(), count, record));
    } catch (const JournalError& error) {
        access->failed(error, answer.messages);
        return answer.refuse("Runs are cancelled through the print journal, which cannot be used.", nothingPrinted,
                             reason::journalUnusable);
    }
}

}  // namespace cli
