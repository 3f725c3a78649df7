// GET /metrics of travcard serve, read by the Prometheus text parser of
// python3-prometheus-client (and promtool, where it is installed): the
// token it needs, and the counters moving as requests are answered and runs
// end at a Zebra printer of the test's own that proves what it printed.

#include "service/service_metrics.h"
#include "tests/fixtures/zebra_printer.h"
#include "tests/service/service_fixture.h"

#include <QFile>
#include <QJsonArray>
#include <QStandardPaths>
#include <gmock/gmock.h>

#include <map>
#include <optional>

namespace {

using namespace std::chrono_literals;

// Reads the text on standard input as Prometheus does, and writes its
// samples as JSON: [type, sample name, labels, value] each.
constexpr const char* parser = R"(
import json, sys
from prometheus_client.parser import text_string_to_metric_families
samples = []
for family in text_string_to_metric_families(sys.stdin.read()):
    if not family.documentation:
        sys.exit(family.name + " has no HELP")
    samples += [[family.type, s.name, s.labels, s.value] for s in family.samples]
print(json.dumps(samples))
)";

// Debian's python3, which python3-prometheus-client installs into, before another on the PATH.
QString python()
{
    return QFile::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

// What a program made of text on its standard input: its exit status, its output.
std::pair<int, QByteArray> fed(const QString& program, const QStringList& arguments, const QByteArray& text)
{
    QProcess process;
    process.start(program, arguments);
    process.write(text);
    process.closeWriteChannel();
    if (!process.waitForFinished(30'000))
        return {-1, "did not finish"};
    return {process.exitCode(), process.readAllStandardOutput() + process.readAllStandardError()};
}

// The samples of a scrape by "name{label=value,...}", labels in order; with each family's type.
struct Scrape {
    std::map<std::string, double> samples;
    std::map<std::string, std::string> types;  // by sample name

    std::optional<double> find(const std::string& key) const
    {
        const auto found = samples.find(key);
        return found == samples.end() ? std::nullopt : std::optional(found->second);
    }
    // A counter not counted yet is 0.
    double operator[](const std::string& key) const { return find(key).value_or(0); }
};

Scrape parsed(const QByteArray& text)
{
    const auto [status, output] = fed(python(), {"-c", parser}, text);
    EXPECT_EQ(status, 0) << output.toStdString() << "\nin\n" << text.toStdString();
    Scrape scrape;
    for (const QJsonValue sample : QJsonDocument::fromJson(output).array()) {
        const QJsonArray fields = sample.toArray();
        std::string key = fields[1].toString().toStdString() + "{";
        const QJsonObject labels = fields[2].toObject();
        QStringList pairs;
        for (auto label = labels.begin(); label != labels.end(); ++label)
            pairs.append(label.key() + "=" + label.value().toString());
        key.append(pairs.join(',').toStdString()).append("}");
        scrape.samples[key] = fields[3].toDouble();
        scrape.types[fields[1].toString().toStdString()] = fields[0].toString().toStdString();
    }
    if (const QString promtool = QStandardPaths::findExecutable("promtool"); !promtool.isEmpty()) {
        const auto [lint, said] = fed(promtool, {"check", "metrics"}, text);
        EXPECT_EQ(lint, 0) << said.toStdString();
    }
    return scrape;
}

TEST(MetricsText, LabelValuesAreEscapedAsTheParserReadsThem)
{
    const std::string awkward = "a\"b\\c\nd{e}=f,g";
    const Scrape scrape = parsed(service::ServiceMetrics().exposition({{awkward, 2, true}}, {}));
    EXPECT_EQ(scrape.find("travcard_printer_queue_runs{printer=" + awkward + "}"), 2);
    EXPECT_EQ(scrape.find("travcard_printer_printing{printer=" + awkward + "}"), 1);
}

class Metrics : public ::testing::Test, protected ServiceProcess {
protected:
    RawCaller::Answer get(const std::string& path, const std::string& bearer = token)
    {
        RawCaller caller(port);
        caller.send(rawRequest("GET", path, {}, bearer));
        return caller.answer();
    }

    Scrape scrape()
    {
        const RawCaller::Answer answer = get("/metrics");
        EXPECT_EQ(answer.status, 200) << answer.body;
        EXPECT_EQ(answer.header("Content-Type"), service::ServiceMetrics::contentType);
        return parsed(QByteArray::fromStdString(answer.body));
    }

    // A run accepted and ended: its record with the reason it ended for.
    QJsonObject endedRun(const QJsonObject& body)
    {
        const Response accepted = post("/v1/print", body);
        EXPECT_EQ(accepted.status, 202) << accepted.json["message"].toString().toStdString();
        return ended(accepted.json["run"].toInteger());
    }
};

TEST_F(Metrics, NeedTheTokenAndMoveAsRequestsAreAnsweredAndRunsEnd)
{
    ZebraPrinter zebra({.labelsPerSecond = 50});
    ASSERT_NO_FATAL_FAILURE(startService(zebra.address(), "ZEBRA"));
    EXPECT_EQ(get("/metrics", "").status, 401);

    const Scrape before = scrape();
    EXPECT_EQ(before["travcard_http_requests_total{method=GET,route=/metrics,status=401}"], 1);
    const std::map<std::string, std::string> types{
        {"travcard_http_requests_total", "counter"},
        {"travcard_http_time_to_first_byte_seconds_count", "histogram"},
        {"travcard_run_duration_seconds_count", "histogram"},
        {"travcard_tickets_confirmed_total", "counter"},
        {"travcard_tickets_printed_total", "counter"},
        {"travcard_tickets_in_doubt_total", "counter"},
        {"travcard_printer_queue_runs", "gauge"},
        {"travcard_printer_printing", "gauge"}};
    for (const auto& [name, type] : types)
        EXPECT_EQ(before.types.count(name) ? before.types.at(name) : "missing", type) << name;
    EXPECT_EQ(before.find("travcard_printer_queue_runs{printer=default}"), 0);
    EXPECT_FALSE(before.find("travcard_database_up{}")) << "no health check has run";

    const QJsonObject printed = endedRun(order("ERP 7001", 1));
    QJsonObject unknown = order("ERP 7002");
    unknown.insert("order", "99999");
    const QJsonObject refused = endedRun(unknown);
    const Response health = call("GET", "/v1/health");

    const Scrape after = scrape();
    const auto moved = [&](const std::string& key) { return after[key] - before[key]; };
    EXPECT_EQ(moved("travcard_http_requests_total{method=POST,route=/v1/print,status=202}"), 2);
    EXPECT_EQ(moved("travcard_http_time_to_first_byte_seconds_count{route=/v1/print}"), 2);
    EXPECT_EQ(moved("travcard_http_requests_total{method=GET,route=/metrics,status=200}"), 1);
    EXPECT_EQ(moved("travcard_run_duration_seconds_count{}"), 2);
    const std::string printedReason = printed["reason"].toString().toStdString();
    const std::string refusedReason = refused["reason"].toString().toStdString();
    ASSERT_EQ(printedReason, "printed");
    ASSERT_NE(refusedReason, "printed");
    EXPECT_EQ(moved("travcard_runs_ended_total{reason=printed}"), 1);
    EXPECT_EQ(moved("travcard_runs_ended_total{reason=" + refusedReason + "}"), 1);
    ASSERT_GT(printed["printed"].toInt(), 0) << "the printer proved nothing";
    const std::pair<const char*, const char*> tickets[] = {
        {"travcard_tickets_confirmed_total{}", "sent"},
        {"travcard_tickets_printed_total{}", "printed"},
        {"travcard_tickets_in_doubt_total{}", "in_doubt"}};
    for (const auto& [counter, field] : tickets)
        EXPECT_EQ(moved(counter), printed[field].toInt() + refused[field].toInt()) << counter;
    EXPECT_EQ(after.find("travcard_database_up{}"), health.json["database"].toBool() ? 1 : 0);
    EXPECT_EQ(after.find("travcard_journal_up{}"), health.json["journal"].toBool() ? 1 : 0);
    EXPECT_GT(after["travcard_health_check_timestamp_seconds{}"], 1.7e9);
}

}  // namespace
