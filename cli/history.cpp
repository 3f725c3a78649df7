#include "cli/sub_command.h"

#include "commands/run_json.h"
#include "commands/startup.h"
#include "exactly_once/cups_runs.h"
#include "exactly_once/request_id.h"
#include "journal/station_name.h"

#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <limits>

namespace cli {
namespace {

std::string localTime(std::int64_t ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString("yyyy-MM-dd HH:mm:ss").toStdString();
}


const char* const synopsis = "history [--order N] [--since YYYY-MM-DD] [--all-stations | --station NAME] [--json]\n"
                            "       travcard history (--run N | --request-id ID) [--json]";

struct HistoryOptions {
    QCommandLineOption order{"order", "Only the runs of this shop order.", "number"};
    QCommandLineOption since{"since", "Only runs started on or after this day.", "YYYY-MM-DD"};
    QCommandLineOption run{"run", "Only this run.", "N"};
    QCommandLineOption requestId{"request-id", "Only the run that holds this request ID.", "ID"};
    QCommandLineOption allStations{"all-stations", "The runs of every station that shares the journal (by default, "
                                                   "this station's only)."};
    QCommandLineOption station{"station", "Only the runs of this station, by the name the journal records.", "name"};
    QCommandLineOption json{"json", "One JSON object per run, with its tickets and their states."};
};

// The runs asked for: one run, the run holding a request id (of any
// station), or the runs of an order, since a day and of a station (empty:
// every station). Nothing, with the message shown, when the run asked for
// is not in the journal.
std::optional<std::vector<RunRecord>> runsAsked(Journal& journal, const SubCommand& command,
                                                const HistoryOptions& options, std::int64_t run,
                                                std::int64_t since, const std::string& station,
                                                MessageBox& messages)
{
    if (run) {
        if (std::optional<RunRecord> found = journal.run(run))
            return std::vector{std::move(*found)};
        messages.show("No run " + std::to_string(run) + " is in the print journal.", MessageIcon::Critical);
        return std::nullopt;
    }
    if (command.parser().isSet(options.requestId)) {
        const std::string id = trimmedRequestId(command.parser().value(options.requestId));
        if (std::optional<RunRecord> found = journal.runWithRequest(id))
            return std::vector{std::move(*found)};
        messages.show("No run holds request ID " + id + ".", MessageIcon::Critical);
        return std::nullopt;
    }
    return journal.runs(std::numeric_limits<int>::max(), command.parser().value(options.order).trimmed().toStdString(),
                        since, 0, station);
}

// With every station's runs, each says its station after its time.
void writeTable(const std::vector<RunRecord>& runs, bool withStation)
{
    const auto station = [withStation](const std::string& name) {
        char column[96] = "";
        if (withStation)
            std::snprintf(column, sizeof column, "%-12s  ", name.c_str());
        return std::string(column);
    };
    const char* const format = "%-19s  %s%-8s  %-9s  %-6s  %-9s  %-8s  %-20s  %-13s  %s\n";
    std::fprintf(stdout, format, "Time", station("Station").c_str(), "Location", "Order", "Suffix", "Operation",
                 "Quantity", "Printer", "Sent", "Outcome");
    for (const RunRecord& run : runs)
        std::fprintf(stdout, format, localTime(run.started).c_str(), station(run.station).c_str(),
                     run.location.c_str(), run.order.c_str(), run.suffix.c_str(), run.operation.c_str(),
                     run.quantity.c_str(), run.printer.c_str(), sentOfPlanned(run).c_str(), outcomeOf(run).c_str());
}

}  // namespace

int history(const QStringList& arguments, const Environment& environment)
{
    SubCommand command("history", synopsis, arguments);
    const HistoryOptions options;
    command.parser().addOptions({options.order, options.since, options.run, options.requestId, options.allStations,
                                 options.station, options.json});
    if (const std::optional<int> status = command.parse({}))
        return *status;
    const auto given = [&command](const QCommandLineOption& option) { return command.parser().isSet(option); };
    const int oneRun = int(given(options.run)) + int(given(options.requestId));
    const bool stationGiven = given(options.allStations) || given(options.station);
    if (oneRun > 1 || (oneRun == 1 && (given(options.order) || given(options.since) || stationGiven)))
        return command.refuse("--run and --request-id each name one run: give one of them alone");
    if (given(options.allStations) && given(options.station))
        return command.refuse("--all-stations and --station each say whose runs to list: give one of them");
    const QString stationAsked = given(options.station) ? command.parser().value(options.station).trimmed()
                                 : given(options.allStations) ? QString()
                                                              : stationName();
    const std::string station = stationAsked.toStdString();
    if (given(options.station) && station.empty())
        return command.refuse("--station takes a station's name");
    const std::int64_t run = given(options.run) ? runOption(command, options.run).value_or(0) : 0;
    if (given(options.run) && run == 0)
        return command.refuse("--run takes a run number");
    StandardError messages;
    std::int64_t from = 0;
    if (command.parser().isSet(options.since)) {
        const QDate day = QDate::fromString(command.parser().value(options.since), Qt::ISODate);
        if (!day.isValid()) {
            messages.show("The day " + command.value(options.since) + " is not a date such as 2026-12-31.",
                          MessageIcon::Critical);
            return nothingPrinted;
        }
        from = day.startOfDay().toMSecsSinceEpoch();
    }
    const std::shared_ptr<JournalAccess> access = openStationJournal(environment.programDir, messages);
    const std::unique_ptr<Journal> journal = access->open(messages);
    if (!journal)
        return nothingPrinted;
    try {
        settleCupsRuns(*journal);
        const std::optional<std::vector<RunRecord>> runs =
            runsAsked(*journal, command, options, run, from, station, messages);
        if (!runs)
            return nothingPrinted;
        if (!command.parser().isSet(options.json)) {
            writeTable(*runs, given(options.allStations));
            return allSent;
        }
        for (const RunRecord& listed : *runs) {
            const QJsonObject line = runJson(listed, journal->tickets(listed.id));
            std::fprintf(stdout, "%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
        }
    } catch (const JournalError& error) {
        access->failed(error, messages);
        return nothingPrinted;
    }
    return allSent;
}

}  // namespace cli
