// travcard history as an ERP reads it: the real program, with no display,
// finding one run by its number or its request id, listing one station's
// runs or every station's.

#include "journal/journal.h"
#include "journal/station_name.h"
#include "tests/fixtures/data_source.h"
#include "tests/fixtures/journal_by_hand.h"
#include "tests/fixtures/travcard_program.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include <pwd.h>
#include <unistd.h>

namespace {

struct Ended {
    int status = -1;
    std::string out;
    std::string err;
};

class History : public ::testing::Test {
protected:
    History() { installProgram(programDir, "PRINTER=" + dir.file("default.out") + "\r\nPRTTYPE=ZEBRA\r\n"); }

    // Run with another USER and LOGNAME than the account, in a time zone
    // five and a half hours ahead of UTC.
    Ended travcard(const QStringList& arguments)
    {
        QProcess program;
        startWithoutDisplay(program, "/usr/bin/env",
                            QStringList{"USER=someone-else", "LOGNAME=someone-else", "TZ=XST-05:30",
                                        QString::fromStdString(programDir.file("travcard"))} +
                                arguments,
                            dir.path());
        EXPECT_TRUE(program.waitForFinished(60'000));
        return {program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1,
                program.readAllStandardOutput().toStdString(), program.readAllStandardError().toStdString()};
    }

    static QJsonObject json(const Ended& ended)
    {
        return QJsonDocument::fromJson(QByteArray::fromStdString(ended.out)).object();
    }

    std::vector<RunRecord> runs() const
    {
        return Journal(QString::fromStdString(dir.file("travcard/journal.sqlite"))).runs();
    }

    ScratchDir programDir;
    ScratchDir dir;
};

// A request whose printer cannot be opened is recorded, 0 of 4 with its
// message, and leaves its id to the retry, which prints.
TEST_F(History, FindsARunByNumberOrRequestIdWithItsTimesAndAccount)
{
    const QString missing = QString::fromStdString(dir.file("no-such-folder/lp"));
    const QStringList request{"print", "--location", "ST", "--order", "12345", "--request-id", "ERP 4717"};
    const Ended failed = travcard(request + QStringList{"--printer", missing});
    EXPECT_EQ(failed.status, 4) << failed.err;
    const Ended retry = travcard(request + QStringList{"--printer", QString::fromStdString(dir.file("lp"))});
    EXPECT_EQ(retry.status, 0) << retry.err;
    const std::vector<RunRecord> recorded = runs();
    ASSERT_EQ(recorded.size(), 2u);
    const RunRecord& printed = recorded[0];
    const RunRecord& unopened = recorded[1];

    const Ended byId = travcard({"history", "--request-id", "ERP 4717", "--json"});
    EXPECT_EQ(byId.status, 0) << byId.err;
    const QJsonObject printedJson = json(byId);
    EXPECT_EQ(printedJson["run"].toInteger(), printed.id);
    const passwd* account = getpwuid(geteuid());
    ASSERT_NE(account, nullptr);
    EXPECT_EQ(printedJson["user"].toString().toStdString(), account->pw_name);
    const QRegularExpression iso(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+05:30$)");
    for (const auto& [field, ms] : {std::pair{"time", printed.started}, std::pair{"ended", printed.ended}}) {
        const QString time = printedJson[field].toString();
        EXPECT_TRUE(iso.match(time).hasMatch()) << field << ": " << time.toStdString();
        EXPECT_EQ(QDateTime::fromString(time, Qt::ISODateWithMs).toMSecsSinceEpoch(), ms) << field;
    }

    const Ended byRun = travcard({"history", "--run", QString::number(unopened.id), "--json"});
    EXPECT_EQ(byRun.status, 0) << byRun.err;
    const QJsonObject unopenedJson = json(byRun);
    EXPECT_EQ(unopenedJson["outcome"].toString() + " " + QString::number(unopenedJson["sent"].toInt()) + " of " +
                  QString::number(unopenedJson["planned"].toInt()),
              "failed 0 of 4");
    EXPECT_TRUE(unopenedJson["request_id"].isNull()) << "given back for the retry";
    EXPECT_THAT(unopenedJson["message"].toString().toStdString(),
                ::testing::StartsWith("The printer " + missing.toStdString() + " is not available."));
    EXPECT_EQ(unopenedJson["tickets"].toArray().size(), 4);
    EXPECT_FALSE(unopenedJson["ended"].isNull());
}

// What the printer proved it printed: beside the count in the table, and
// as its own count in JSON, where a run whose every ticket was proven
// printed ends printed_proven.
TEST_F(History, ShowsTheTicketsThePrinterProvedPrinted)
{
    struct Case {
        const char* order;
        RunOutcome outcome;
        TicketCounts counts;  // of 4 planned
        std::string sent;
        std::string outcomeInJson;
    };
    const Case cases[] = {
        {"9001", RunOutcome::Printed, {4, 4}, "4 of 4 (printed)", "printed_proven"},
        {"9002", RunOutcome::Printed, {4, 3}, "4 of 4 (3 printed)", "printed"},
        {"9003", RunOutcome::Failed, {2, 2}, "2 of 4 (printed)", "failed"},
        {"9004", RunOutcome::Printed, {4, 0}, "4 of 4", "printed"},
    };
    {
        Journal journal(QString::fromStdString(dir.file("travcard/journal.sqlite")));
        for (const Case& recorded : cases) {
            RunStart start;
            start.order = recorded.order;
            const std::int64_t run = journal.startRun(start, {{"10", 4, "data"}});
            journal.sending(run, 0, 1, std::vector<TicketDigest>(4, {"10", 1, 9, "#"}));
            journal.endRun(run, recorded.outcome, recorded.counts, {});
        }
    }
    const Ended table = travcard({"history"});
    const Ended lines = travcard({"history", "--json"});
    ASSERT_EQ(table.status, 0) << table.err;
    std::map<std::string, QJsonObject> byOrder;
    for (const QByteArray& line : QByteArray::fromStdString(lines.out).split('\n'))
        if (const QJsonObject run = QJsonDocument::fromJson(line).object(); !run.isEmpty())
            byOrder[run["order"].toString().toStdString()] = run;
    for (const Case& shown : cases) {
        SCOPED_TRACE(shown.order);
        const std::size_t order = table.out.find(std::string("  ") + shown.order + " ");
        ASSERT_NE(order, std::string::npos) << table.out;
        const std::string row = table.out.substr(order, table.out.find('\n', order) - order);
        char tail[64];
        std::snprintf(tail, sizeof tail, "%-13s  %s", shown.sent.c_str(), outcomeName(shown.outcome).c_str());
        EXPECT_THAT(row, ::testing::EndsWith(tail));
        const QJsonObject& run = byOrder[shown.order];
        EXPECT_EQ(run["printed"].toInt(-1), shown.counts.printed);
        EXPECT_EQ(run["outcome"].toString().toStdString(), shown.outcomeInJson);
    }
}

// A journal the plant's stations share: this station's runs by default,
// another's by --station, every station's by --all-stations, where the
// table names each run's station.
TEST_F(History, ListsThisStationsRunsOrAnothersOrAll)
{
    const std::string path = dir.file("travcard/journal.sqlite");
    {
        Journal journal(QString::fromStdString(path));
        for (const char* order : {"7001", "7002", "7003"}) {
            RunStart start;
            start.order = order;
            journal.endRun(journal.startRun(start, {{"10", 1, "data"}}), RunOutcome::Printed, 1, {});
        }
    }
    journalByHand(path, {"UPDATE runs SET station = 'line 3' WHERE shop_order = '7002'"});
    const QString here = stationName();
    struct Case {
        QStringList arguments;
        QStringList listed;  // order@station, newest first
    };
    const Case cases[] = {
        {{}, {"7003@" + here, "7001@" + here}},
        {{"--station", " line 3 "}, {"7002@line 3"}},
        {{"--all-stations"}, {"7003@" + here, "7002@line 3", "7001@" + here}},
    };
    for (const Case& asked : cases) {
        SCOPED_TRACE(asked.arguments.join(' ').toStdString());
        const Ended lines = travcard(QStringList{"history", "--json"} + asked.arguments);
        ASSERT_EQ(lines.status, 0) << lines.err;
        QStringList listed;
        for (const QByteArray& line : QByteArray::fromStdString(lines.out).split('\n'))
            if (const QJsonObject run = QJsonDocument::fromJson(line).object(); !run.isEmpty())
                listed << run["order"].toString() + "@" + run["station"].toString();
        EXPECT_EQ(listed, asked.listed);
    }
    const Ended table = travcard({"history", "--all-stations"});
    EXPECT_THAT(table.out, ::testing::MatchesRegex("Time +Station +Location .*\n.* line 3 +7002 .*"));
}

TEST_F(History, RefusesARunItDoesNotHoldAndARunNumberThatIsNotOne)
{
    struct Case {
        QStringList arguments;
        int status;
        std::string message;
    };
    const std::string badRun = "travcard history: --run takes a run number\nUsage: ";
    const Case cases[] = {
        {{"--run", "999"}, 1, "No run 999 is in the print journal.\n"},
        {{"--run", "999", "--json"}, 1, "No run 999 is in the print journal.\n"},
        {{"--request-id", "ERP 1", "--json"}, 1, "No run holds request ID ERP 1.\n"},
        {{"--run", "0"}, 2, badRun},
        {{"--run=-3"}, 2, badRun},
        {{"--run", "2x"}, 2, badRun},
        {{"--run", "1", "--order", "12345"}, 2, "travcard history: --run and --request-id each name one run"},
        {{"--run", "1", "--all-stations"}, 2, "travcard history: --run and --request-id each name one run"},
        {{"--all-stations", "--station", "line 3"}, 2, "travcard history: --all-stations and --station each say"},
        {{"--station", " "}, 2, "travcard history: --station takes a station's name"},
    };
    for (const Case& asked : cases) {
        SCOPED_TRACE(asked.arguments.join(' ').toStdString());
        const Ended result = travcard(QStringList{"history"} + asked.arguments);
        EXPECT_EQ(result.status, asked.status);
        EXPECT_THAT(result.err, ::testing::StartsWith(asked.message));
        EXPECT_EQ(result.out, "");
    }
}

}  // namespace
