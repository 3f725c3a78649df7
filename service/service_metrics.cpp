#include "service/service_metrics.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <utility>

namespace service {
namespace {

using Labels = std::vector<std::pair<const char*, std::string>>;

// Backslash and line feed escaped, and in a label's quotes the double quote.
std::string escaped(const std::string& value, bool quoted)
{
    std::string text;
    text.reserve(value.size());
    for (const char c : value) {
        if (c == '\\')
            text += "\\\\";
        else if (c == '"' && quoted)
            text += "\\\"";
        else if (c == '\n')
            text += "\\n";
        else
            text += c;
    }
    return text;
}

std::string number(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    std::array<char, 32> text{};
    const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), value);
    return std::string(text.data(), end);
}

std::string number(std::uint64_t value) { return std::to_string(value); }

// The text of one scrape: each family's HELP and TYPE, then its samples.
class Exposition {
public:
    void family(const char* name, const char* type, const char* help)
    {
        text_ += std::string("# HELP ") + name + ' ' + escaped(help, false) + "\n# TYPE " + name + ' ' + type + '\n';
    }

    void sample(const std::string& name, const Labels& labels, const std::string& value)
    {
        text_ += name;
        if (!labels.empty()) {
            text_ += '{';
            for (const auto& [label, text] : labels) {
                if (text_.back() != '{')
                    text_ += ',';
                text_.append(label).append("=\"").append(escaped(text, true)).append("\"");
            }
            text_ += '}';
        }
        text_.append(" ").append(value).append("\n");
    }

    void histogram(const std::string& name, Labels labels, const Histogram& histogram)
    {
        std::uint64_t cumulative = 0;
        labels.emplace_back("le", "");
        for (std::size_t i = 0; i <= histogram.bounds().size(); ++i) {
            cumulative += histogram.counts()[i];
            labels.back().second = i < histogram.bounds().size() ? number(histogram.bounds()[i]) : "+Inf";
            sample(name + "_bucket", labels, number(cumulative));
        }
        labels.pop_back();
        sample(name + "_sum", labels, number(histogram.sum()));
        sample(name + "_count", labels, number(histogram.count()));
    }

    QByteArray bytes() const { return QByteArray::fromStdString(text_); }

private:
    std::string text_;
};

// Methods outside HTTP's own are counted together: what a caller may send
// must not add series without end.
std::string methodLabel(const QByteArray& method)
{
    static const std::array<const char*, 7> known{"GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS"};
    for (const char* name : known)
        if (method == name)
            return name;
    return "other";
}

double inSeconds(ServiceMetrics::Duration duration) { return std::chrono::duration<double>(duration).count(); }

std::uint64_t countIn(const QJsonObject& outcome, const char* field)
{
    return static_cast<std::uint64_t>(std::max<qint64>(0, outcome.value(field).toInteger()));
}

const std::vector<double> firstByteBounds{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                          0.25,  0.5,    1,     2.5,  5,     10,   30, 60};

}  // namespace

Histogram::Histogram(std::vector<double> bounds) : bounds_(std::move(bounds)), counts_(bounds_.size() + 1, 0) {}

void Histogram::observe(double value)
{
    const auto above = std::lower_bound(bounds_.begin(), bounds_.end(), value);
    ++counts_[static_cast<std::size_t>(above - bounds_.begin())];
    sum_ += value;
    ++count_;
}

void ServiceMetrics::answered(const std::string& route, const QByteArray& method, int status, Duration firstByte)
{
    const std::string label = route.empty() ? "other" : route;
    ++requests_[{label, methodLabel(method), status}];
    firstByte_.try_emplace(label, firstByteBounds).first->second.observe(inSeconds(firstByte));
}

void ServiceMetrics::runEnded(const QJsonObject& outcome)
{
    const QString reason = outcome.value("reason").toString();
    ++runs_[reason.isEmpty() ? std::string("unknown") : reason.toStdString()];
    confirmed_ += countIn(outcome, "sent");
    inDoubt_ += countIn(outcome, "in_doubt");
}

void ServiceMetrics::runRan(Duration took, int printed)
{
    runDuration_.observe(inSeconds(took));
    printed_ += static_cast<std::uint64_t>(std::max(0, printed));
}

QByteArray ServiceMetrics::exposition(const std::vector<Queue>& queues, const Health& health) const
{
    Exposition out;
    out.family("travcard_http_requests_total", "counter",
               "Requests answered, by route (the path with its parameters named), method and status.");
    for (const auto& [key, count] : requests_) {
        const auto& [route, method, status] = key;
        out.sample("travcard_http_requests_total",
                   {{"route", route}, {"method", method}, {"status", std::to_string(status)}}, number(count));
    }
    out.family("travcard_http_time_to_first_byte_seconds", "histogram",
               "Time from a request read whole to its answer handed to the connection, by route.");
    for (const auto& [route, histogram] : firstByte_)
        out.histogram("travcard_http_time_to_first_byte_seconds", {{"route", route}}, histogram);

    out.family("travcard_runs_ended_total", "counter",
               "Print runs ended in this service, by the reason their answer gives.");
    for (const auto& [reason, count] : runs_)
        out.sample("travcard_runs_ended_total", {{"reason", reason}}, number(count));
    out.family("travcard_run_duration_seconds", "histogram",
               "Time a run took on its printer's queue, from its start to its end.");
    out.histogram("travcard_run_duration_seconds", {}, runDuration_);
    out.family("travcard_tickets_confirmed_total", "counter",
               "Tickets the printer took whole, counted as their runs ended.");
    out.sample("travcard_tickets_confirmed_total", {}, number(confirmed_));
    out.family("travcard_tickets_printed_total", "counter",
               "Tickets the printer proved it printed, counted as their runs ended.");
    out.sample("travcard_tickets_printed_total", {}, number(printed_));
    out.family("travcard_tickets_in_doubt_total", "counter",
               "Tickets sent but not confirmed when their run ended.");
    out.sample("travcard_tickets_in_doubt_total", {}, number(inDoubt_));

    out.family("travcard_printer_queue_runs", "gauge", "Runs waiting in the printer's queue, the printing one aside.");
    for (const Queue& queue : queues)
        out.sample("travcard_printer_queue_runs", {{"printer", queue.printer}}, std::to_string(queue.waiting));
    out.family("travcard_printer_printing", "gauge", "1 while a run prints on the printer, 0 otherwise.");
    for (const Queue& queue : queues)
        out.sample("travcard_printer_printing", {{"printer", queue.printer}}, queue.printing ? "1" : "0");

    out.family("travcard_database_up", "gauge",
               "Whether the database answered the last finished health check: 1 or 0; absent before the first.");
    if (health.database >= 0)
        out.sample("travcard_database_up", {}, std::to_string(health.database));
    out.family("travcard_journal_up", "gauge",
               "Whether the journal took a write at the last finished health check: 1 or 0; absent before the first.");
    if (health.journal >= 0)
        out.sample("travcard_journal_up", {}, std::to_string(health.journal));
    out.family("travcard_health_check_timestamp_seconds", "gauge",
               "When the last health check finished, in seconds since the Unix epoch; absent before the first.");
    if (health.endedMs > 0)
        out.sample("travcard_health_check_timestamp_seconds", {}, number(static_cast<double>(health.endedMs) / 1000));
    return out.bytes();
}

}  // namespace service
