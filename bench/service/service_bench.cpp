// travcard serve measured as an ERP and a label printer see it, on the data
// source that ODBCSYSINI and ODBCINI select (scripts/bench makes one that
// holds order 2000 of 2,000 operations):
//   firstByte/service       POST /v1/print of order 12345 (four Zebra
//                           tickets), from sending it to the first byte at
//                           the printer;
//   firstByte/command_line  `travcard print` of the same order to the same
//                           printer, from the process's start to its first byte;
//   run2000/no_polls        order 2000 (1,714 Zebra tickets) from its first
//                           byte at the printer to its last;
//   run2000/four_pollers    the same while four callers ask GET
//                           /v1/runs/{run} over and over, without wait=;
//                           gets_per_second counts their answers, and
//                           kB_per_get is their size;
//   keptAlive/gets          GET /v1/runs/{run} of an ended run, whose
//                           record the service keeps in memory, on 50
//                           kept-alive connections at once for 3 s after a
//                           warm-up, each asking again as soon as it has its
//                           answer: answers_per_second, and median_ms from a
//                           request to its whole answer;
//   held/memory             1,000 connections held open to a service of
//                           their own: the growth of its VmRSS per
//                           connection, idle (idle_kB_each) and after one
//                           GET each, kept alive (answered_kB_each), from
//                           before_MB; its time is until all were accepted.
// The printer is a loopback socket that reads as fast as it can. The
// program is copied beside a travcard.cfg of the benchmark's own; the
// service and the command line each keep a journal there.

#include "bench/app/discarding_printer.h"
#include "bench/service/bench_service.h"
#include "bench/service/callers.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <variant>

namespace {

using namespace std::chrono_literals;

// Raises this process's limit of open descriptors, within its hard limit,
// to at least needed: whether it is that high now.
bool descriptorsFor(std::size_t needed)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur >= needed)
        return true;
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, needed);
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= needed;
}

// A field of /proc/PID/status in kB (VmRSS, VmHWM), or -1.
long statusKb(pid_t pid, std::string_view field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':')
            return std::atol(line.c_str() + field.size() + 1);
    return -1;
}

// The connections to port that the process has accepted: its descriptors
// that are established TCP sockets with that local port. A connection still
// in the listen queue has none yet.
std::size_t acceptedConnections(pid_t pid, int port)
{
    std::unordered_set<std::string> sockets;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    char localPort[8];
    std::snprintf(localPort, sizeof localPort, ":%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        if (state == "01" && local.ends_with(localPort))
            sockets.insert("socket:[" + inode + "]");
    }
    std::size_t accepted = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
        if (const auto target = std::filesystem::read_symlink(entry.path(), error); !error && sockets.contains(target))
            ++accepted;
    return accepted;
}

// The program in a scratch folder beside its travcard.cfg, the printer, and
// the service started there; stopped when the benchmarks end.
class Setup {
public:
    Setup()
    {
        folder_.writeConfig(printer.address(), "JOURNAL=" + folder_.file("command-line.sqlite").string() + "\n");
        service_.emplace(folder_, "service");
        fault_ = service_->fault();
        if (!fault_.empty())
            return;
        // The first run opens its printer queue's database session.
        const std::variant<std::int64_t, std::string> run = printEnded(port());
        if (const std::string* fault = std::get_if<std::string>(&run))
            fault_ = *fault;
        else
            endedRun_ = std::get<std::int64_t>(run);
    }
    Setup(const Setup&) = delete;
    Setup& operator=(const Setup&) = delete;

    // False, and the benchmark skipped, when the service did not start.
    bool ready(benchmark::State& state) const
    {
        if (!fault_.empty())
            state.SkipWithError(fault_.c_str());
        return fault_.empty();
    }
    int port() const { return service_->port(); }
    const std::string& program() const { return folder_.program(); }
    const ServiceFolder& folder() const { return folder_; }
    std::filesystem::path file(const std::string& name) const { return folder_.file(name); }
    // The run of the first print, ended: the service keeps its record in memory.
    std::int64_t endedRun() const { return endedRun_; }

    // A print request of the order to the default printer, with a new request id.
    std::string printBody(const std::string& order)
    {
        return R"({"location":"ST","order":")" + order + R"(","quantity":1,"request_id":"bench )" +
               std::to_string(++requests_) + "\"}";
    }

    // Order 12345 printed through the service at port, and read back once
    // its run has ended, which the service then keeps in memory: the run,
    // or what went wrong.
    std::variant<std::int64_t, std::string> printEnded(int port)
    {
        try {
            const std::size_t job = printer.jobsEnded();
            const HttpClient::Answer accepted = HttpClient(port).send("POST", "/v1/print", printBody("12345"));
            static const std::regex runField("\"run\":([0-9]+)");
            std::smatch found;
            if (accepted.status != 202 || !std::regex_search(accepted.body, found, runField))
                return "the print was not accepted: " + accepted.body;
            if (!printer.job(job, 1min))
                return "the print was not printed";
            const std::string run = found[1].str();
            const HttpClient::Answer seen = HttpClient(port).send("GET", "/v1/runs/" + run + "?wait=30");
            if (seen.status != 200 || seen.body.find("\"ended\":\"") == std::string::npos)
                return "run " + run + " did not end: " + seen.body;
            return std::stoll(run);
        } catch (const std::exception& error) {
            return error.what();
        }
    }

    DiscardingPrinter printer;

private:
    ServiceFolder folder_;
    std::optional<Service> service_;
    std::int64_t endedRun_ = 0;
    int requests_ = 0;
    std::string fault_;
};

Setup& setup()
{
    static Setup once;
    return once;
}

// The print request answered 202, and its job at the printer; the
// benchmark skipped otherwise.
std::optional<DiscardingPrinter::Job> printed(benchmark::State& state, Setup& at, const std::string& order,
                                              const std::function<void(const HttpClient::Answer&)>& accepted = {})
{
    const std::size_t job = at.printer.jobsEnded();
    HttpClient::Answer answer;
    try {
        answer = HttpClient(at.port()).send("POST", "/v1/print", at.printBody(order));
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return std::nullopt;
    }
    if (answer.status != 202) {
        state.SkipWithError(("POST /v1/print answered " + std::to_string(answer.status) + ": " + answer.body).c_str());
        return std::nullopt;
    }
    if (accepted)
        accepted(answer);
    std::optional<DiscardingPrinter::Job> done = at.printer.job(job, 5min);
    if (!done)
        state.SkipWithError("the printer got no job");
    return done;
}

void firstByteService(benchmark::State& state)
{
    Setup& at = setup();
    if (!at.ready(state))
        return;
    for (auto _ : state) {
        const auto sent = Clock::now();
        const std::optional<DiscardingPrinter::Job> job = printed(state, at, "12345");
        if (!job)
            return;
        state.SetIterationTime(seconds(job->firstByte - sent));
    }
}

void firstByteCommandLine(benchmark::State& state)
{
    Setup& at = setup();
    if (!at.ready(state))
        return;
    for (auto _ : state) {
        const std::size_t job = at.printer.jobsEnded();
        const auto started = Clock::now();
        const pid_t pid = spawn({at.program(), "print", "--location", "ST", "--order", "12345"}, at.file("print.log"));
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return state.SkipWithError(("travcard print failed: " + readFile(at.file("print.log"))).c_str());
        const std::optional<DiscardingPrinter::Job> printed = at.printer.job(job, 1min);
        if (!printed)
            return state.SkipWithError("the printer got no job");
        state.SetIterationTime(seconds(printed->firstByte - started));
    }
}

void run2000(benchmark::State& state, int pollers)
{
    Setup& at = setup();
    if (!at.ready(state))
        return;
    double answers = 0, bytes = 0, pollingSeconds = 0;
    for (auto _ : state) {
        std::atomic<bool> ended{false}, failed{false};
        std::atomic<long> answered{0}, answerBytes{0};
        std::vector<std::thread> threads;
        Clock::time_point pollingFrom;
        const auto poll = [&](const std::string& path) {
            try {
                HttpClient client(at.port());
                while (!ended) {
                    const HttpClient::Answer answer = client.send("GET", path);
                    failed = failed || answer.status != 200;
                    ++answered;
                    answerBytes += static_cast<long>(answer.body.size());
                }
            } catch (const std::exception&) {
                failed = true;
            }
        };
        const std::optional<DiscardingPrinter::Job> job =
            printed(state, at, "2000", [&](const HttpClient::Answer& accepted) {
                static const std::regex run("\"run\":([0-9]+)");
                std::smatch found;
                std::regex_search(accepted.body, found, run);
                pollingFrom = Clock::now();
                for (int i = 0; i < pollers; ++i)
                    threads.emplace_back(poll, "/v1/runs/" + found[1].str());
            });
        ended = true;
        const auto pollingTo = Clock::now();
        for (std::thread& thread : threads)
            thread.join();
        if (!job)
            return;
        if (failed)
            return state.SkipWithError("a GET /v1/runs/{run} was not answered 200");
        state.SetIterationTime(seconds(job->lastByte - job->firstByte));
        answers += static_cast<double>(answered);
        bytes += static_cast<double>(answerBytes);
        pollingSeconds += seconds(pollingTo - pollingFrom);
    }
    state.counters["gets_per_second"] = pollers ? answers / pollingSeconds : 0;
    state.counters["kB_per_get"] = answers ? bytes / answers / 1000 : 0;
}

constexpr std::size_t keptAlive = 50;
constexpr auto warmUp = 500ms;
constexpr auto measuredFor = 3s;

// GET /v1/runs/{run} of the ended run on keptAlive connections at once,
// each asking again as soon as it has its answer, for measuredFor after
// warmUp: answers a second, and the median from request to whole answer.
void keptAliveGets(benchmark::State& state)
{
    Setup& at = setup();
    if (!at.ready(state))
        return;
    const std::string get = request("GET", "/v1/runs/" + std::to_string(at.endedRun()));
    for (auto _ : state) {
        Callers callers(at.port(), keptAlive);
        bool measuring = false, again = true;
        int refused = 0;
        std::vector<double> latencies;
        latencies.reserve(100'000);
        callers.onAnswer([&](std::size_t caller, int status, Clock::duration waited) {
            if (status != 200)
                refused = status;
            if (measuring)
                latencies.push_back(inMilliseconds(waited));
            if (again)
                callers.send(caller, get);
        });
        const auto never = [] { return false; };
        Clock::time_point from, to;
        bool drained = false, hungUp = false;
        if (callers.allOpen(Clock::now() + 10s)) {
            for (std::size_t caller = 0; caller < callers.size(); ++caller)
                callers.send(caller, get);
            callers.run(Clock::now() + warmUp, never);
            measuring = true;
            from = Clock::now();
            callers.run(from + measuredFor, never);
            to = Clock::now();
            measuring = again = false;
            drained = callers.allAnswered(to + 10s);
            hungUp = drained && callers.hangUp(Clock::now() + 10s);
        }
        if (refused)
            return state.SkipWithError(("GET /v1/runs/{run} answered " + std::to_string(refused)).c_str());
        if (!callers.fault().empty())
            return state.SkipWithError(callers.fault().c_str());
        if (!hungUp || latencies.empty())
            return state.SkipWithError("the service stopped answering or did not close the connections");
        state.SetIterationTime(seconds(to - from));
        state.counters["answers_per_second"] = static_cast<double>(latencies.size()) / seconds(to - from);
        state.counters["median_ms"] = median(std::move(latencies));
    }
}

constexpr std::size_t heldOpen = 1000;
// The service takes 64 connections at most from one address.
constexpr std::size_t heldPerAddress = 50;

struct Held {
    long beforeKb = 0, idleKb = 0, answeredKb = 0;
    Clock::duration accepting{};
};

// heldOpen connections to a service of their own, whose memory no earlier
// connection has touched: its VmRSS before them, once it has accepted them
// all (idle, no byte sent), and once each has had one GET /v1/runs/{run}
// answered and is kept alive; or what went wrong. All within the 30 s the
// service lets a connection idle.
std::variant<Held, std::string> holdConnections(Setup& at)
{
    const Service service(at.folder(), "held");
    if (!service.fault().empty())
        return service.fault();
    const std::variant<std::int64_t, std::string> run = at.printEnded(service.port());
    if (const std::string* fault = std::get_if<std::string>(&run))
        return *fault;
    const std::string get = request("GET", "/v1/runs/" + std::to_string(std::get<std::int64_t>(run)));
    // One request on each connection, one after another: what stays is what
    // a connection keeps once answered, not what 1,000 requests at once took.
    int refused = 0;
    const auto askEach = [&](Callers& callers) {
        callers.onAnswer([&](std::size_t caller, int status, Clock::duration) {
            if (status != 200)
                refused = status;
            if (caller + 1 < callers.size())
                callers.send(caller + 1, get);
        });
        callers.send(0, get);
        return callers.allAnswered(Clock::now() + 10s) && refused == 0;
    };
    const auto failed = [&refused](const Callers& callers, const std::string& what) {
        if (refused)
            return what + ": GET /v1/runs/{run} answered " + std::to_string(refused);
        return what + ": " + (callers.fault().empty() ? "not done within 10 s" : callers.fault());
    };
    // What the first connections cost once, before the baseline.
    {
        Callers first(service.port(), 4);
        if (!first.allOpen(Clock::now() + 10s) || !askEach(first) || !first.hangUp(Clock::now() + 10s))
            return failed(first, "the first connections");
    }
    Held held;
    held.beforeKb = statusKb(service.pid(), "VmRSS");
    const auto began = Clock::now();
    Callers callers(service.port(), heldOpen, heldPerAddress);
    if (!callers.allOpen(began + 10s))
        return failed(callers, "opening the connections");
    std::size_t accepted;
    while ((accepted = acceptedConnections(service.pid(), service.port())) < heldOpen) {
        if (Clock::now() > began + 15s)
            return "the service accepted " + std::to_string(accepted) + " of " + std::to_string(heldOpen) +
                   " connections";
        std::this_thread::sleep_for(10ms);
    }
    held.accepting = Clock::now() - began;
    std::this_thread::sleep_for(200ms);
    held.idleKb = statusKb(service.pid(), "VmRSS");
    if (!askEach(callers))
        return failed(callers, "one request each");
    std::this_thread::sleep_for(200ms);
    held.answeredKb = statusKb(service.pid(), "VmRSS");
    if (!callers.hangUp(Clock::now() + 10s))
        return failed(callers, "closing the connections");
    if (held.beforeKb < 0 || held.idleKb < 0 || held.answeredKb < 0)
        return "cannot read the service's VmRSS";
    return held;
}

void memoryPerConnection(benchmark::State& state)
{
    Setup& at = setup();
    if (!at.ready(state))
        return;
    // Its own connections, and the service's, which it inherits.
    if (!descriptorsFor(2 * heldOpen + 256))
        return state.SkipWithError("the limit of open descriptors cannot be raised enough for 1,000 connections");
    for (auto _ : state) {
        const std::variant<Held, std::string> measured = holdConnections(at);
        if (const std::string* fault = std::get_if<std::string>(&measured))
            return state.SkipWithError(fault->c_str());
        const Held& held = std::get<Held>(measured);
        state.SetIterationTime(seconds(held.accepting));
        state.counters["before_MB"] = static_cast<double>(held.beforeKb) / 1024;
        state.counters["idle_kB_each"] = static_cast<double>(held.idleKb - held.beforeKb) / heldOpen;
        state.counters["answered_kB_each"] = static_cast<double>(held.answeredKb - held.beforeKb) / heldOpen;
    }
}

}  // namespace

BENCHMARK(firstByteService)->Name("firstByte/service")->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(firstByteCommandLine)
    ->Name("firstByte/command_line")
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run2000, no_polls, 0)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run2000, four_pollers, 4)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(keptAliveGets)->Name("keptAlive/gets")->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(memoryPerConnection)
    ->Name("held/memory")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
