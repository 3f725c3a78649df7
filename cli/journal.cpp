#include "cli/sub_command.h"

#include "commands/startup.h"
#include "exactly_once/cups_runs.h"
#include "journal/journal_copy.h"

#include <QFileInfo>
#include <QJsonArray>

namespace reason {
inline constexpr const char* copied = "copied";
}  // namespace reason

namespace cli {
namespace {

const char* const synopsis = "journal copy --to postgresql://user@host/database [--from PATH] [--json]";

// "Run 4", "Runs 4, 7 and 9": the first few, and how many in all.
std::string runsNamed(const std::vector<std::int64_t>& runs)
{
    constexpr std::size_t shown = 10;
    std::string named = runs.size() == 1 ? "Run " : "Runs ";
    for (std::size_t i = 0; i < runs.size() && i < shown; ++i) {
        if (i > 0)
            named += i + 1 == runs.size() ? " and " : ", ";
        named += std::to_string(runs[i]);
    }
    if (runs.size() > shown)
        named += " and " + std::to_string(runs.size() - shown) + " more (--json lists them)";
    return named;
}

std::string counted(std::size_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

QJsonArray numbers(const std::vector<std::int64_t>& runs)
{
    QJsonArray array;
    for (const std::int64_t run : runs)
        array.append(static_cast<qint64>(run));
    return array;
}

QJsonObject copyFields(const JournalCopy& done)
{
    return {{"copied", done.copied},
            {"already_copied", done.alreadyCopied},
            {"open", static_cast<int>(done.open.size())},
            {"open_runs", numbers(done.open)},
            {"request_ids_left", static_cast<int>(done.requestIdsLeft.size())},
            {"runs_without_request_id", numbers(done.requestIdsLeft)},
            {"rests_left", static_cast<int>(done.restsLeft.size())},
            {"runs_without_rest_of", numbers(done.restsLeft)}};
}

// What the copy did, and what it left, as the operator acts on it.
void tellCopied(const JournalCopy& done, const std::string& from, const std::string& to, MessageBox& messages)
{
    messages.show("Copied " + counted(static_cast<std::size_t>(done.copied), "run", "runs") + " from " + from + " to " +
                      to + ": " + std::to_string(done.alreadyCopied) + " skipped (already copied), " +
                      std::to_string(done.open.size()) + " open, " +
                      counted(done.requestIdsLeft.size(), "request ID", "request IDs") + " left behind.",
                  MessageIcon::None);
    const bool one = done.open.size() == 1;
    if (!done.open.empty())
        messages.show(runsNamed(done.open) +
                          (one ? " is open and was not copied: end it" : " are open and were not copied: end them") +
                          " first (the station's program must not be printing into it), then copy again.",
                      MessageIcon::Warning);
    if (!done.requestIdsLeft.empty())
        messages.show(runsNamed(done.requestIdsLeft) +
                          (done.requestIdsLeft.size() == 1 ? " was copied without its request ID, which a run"
                                                           : " were copied without their request IDs, which runs") +
                          " of " + to + " held already (the same caller's key used at two stations); the message of "
                          "each copy names its ID.",
                      MessageIcon::Warning);
    if (!done.restsLeft.empty())
        messages.show(runsNamed(done.restsLeft) + (done.restsLeft.size() == 1 ? " was" : " were") +
                          " copied without the run whose rest they printed: a run of " + to +
                          " prints that rest already.",
                      MessageIcon::Warning);
}

// A journal opened, or nothing with the answer ended.
std::unique_ptr<Journal> opened(const QString& path, Answer& answer)
{
    try {
        return std::make_unique<Journal>(path);
    } catch (const JournalError& error) {
        answer.refuse(error.what(), nothingPrinted, reason::journalUnusable);
        return nullptr;
    }
}

int copy(const QStringList& arguments, const Environment& environment)
{
    SubCommand command("journal copy", synopsis, arguments);
    const QCommandLineOption to("to", "The plant's journal on a PostgreSQL server to copy into, as JOURNAL= names it.",
                                "uri");
    const QCommandLineOption from(
        "from", "The journal file to copy (default: the station's, JOURNAL= in travcard.cfg).", "path");
    const QCommandLineOption json("json", "Write the counts as one JSON object to standard output.");
    command.parser().addOptions({to, from, json});
    if (const std::optional<int> status = command.parse({&to}))
        return *status;
    const QString target = command.parser().value(to);
    if (!isServerJournal(target))
        return command.refuse("--to names a journal on a PostgreSQL server (postgresql://user@host/database), not " +
                              journalDisplayName(target));
    const bool fromNamed = command.parser().isSet(from);
    const QString source = fromNamed ? command.parser().value(from) : stationJournalPath(environment.programDir);
    if (source.isEmpty())
        return command.refuse("--from names a journal file");
    if (isServerJournal(source))
        return command.refuse(fromNamed ? "--from names a station's journal file, not a server's"
                                        : "this station's journal is on a server already (JOURNAL= in travcard.cfg): "
                                          "name the file to copy with --from");
    const std::string shownFrom = journalDisplayName(source).toStdString();
    const std::string shownTo = journalDisplayName(target).toStdString();
    Answer answer(command.parser().isSet(json), {{"from", QString::fromStdString(shownFrom)},
                                                 {"to", QString::fromStdString(shownTo)}});
    // Opening a journal makes a missing file.
    if (const QFileInfo file(source); !file.isFile())
        return answer.refuse("The print journal " + shownFrom + " cannot be opened: " +
                                 (file.exists() ? "it is not a file." : "there is no such file."),
                             nothingPrinted, reason::journalUnusable);
    const std::unique_ptr<Journal> station = opened(source, answer);
    if (!station)
        return answer.status();
    try {
        // The runs of programs that are gone are ended, and spooled jobs
        // completed since are confirmed, as the station's next look would.
        station->closeInterruptedRuns();
        settleCupsRuns(*station);
    } catch (const JournalError& error) {
        return answer.refuse(error.what(), nothingPrinted, reason::journalUnusable);
    }
    const std::unique_ptr<Journal> plant = opened(target, answer);
    if (!plant)
        return answer.status();
    const JournalCopy done = copyJournal(*station, *plant);
    if (done.stopped) {
        answer.messages.show(*done.stopped, MessageIcon::Critical);
        tellCopied(done, shownFrom, shownTo, answer.messages);
        answer.messages.show("The copy stopped part-way: copying again goes on where it stopped.",
                             MessageIcon::Warning);
        return answer.end(nothingPrinted, reason::journalUnusable, copyFields(done));
    }
    tellCopied(done, shownFrom, shownTo, answer.messages);
    return answer.end(allSent, reason::copied, copyFields(done));
}

}  // namespace

int journal(const QStringList& arguments, const Environment& environment)
{
    const QString action = arguments.value(1);
    if (action == "copy")
        return copy(QStringList{arguments.value(0)} + arguments.mid(2), environment);
    if (action == "--help" || action == "-help" || action == "-h")
        return copy({arguments.value(0), "--help"}, environment);
    const SubCommand command("journal", synopsis, arguments);
    return command.refuse(action.isEmpty() || action.startsWith(u'-')
                              ? QStringLiteral("name what to do with the journal: copy")
                              : "unknown action '" + action + "': the journal can be told copy");
}

}  // namespace cli
