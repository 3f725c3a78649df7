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
//                           kB_per_get is their size.
// The printer is a loopback socket that reads as fast as it can. The
// program is copied beside a travcard.cfg of the benchmark's own; the
// service and the command line each keep a journal there.

#include "bench/app/discarding_printer.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* token = "0123456789abcdef-bench";

double seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

// Starts the program with its arguments and no display, its standard error
// into errorFile; it is killed if this process ends first.
pid_t spawn(const std::vector<std::string>& arguments, const std::filesystem::path& errorFile)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> environment;
    for (char** variable = environ; *variable; ++variable)
        if (!std::string_view(*variable).starts_with("DISPLAY=") &&
            !std::string_view(*variable).starts_with("WAYLAND_DISPLAY=") &&
            !std::string_view(*variable).starts_with("QT_QPA_PLATFORM="))
            environment.push_back(*variable);
    environment.push_back(nullptr);
    const std::string errorPath = errorFile.string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int error = ::open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int nothing = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        ::dup2(nothing, 0);
        ::dup2(nothing, 1);
        ::dup2(error, 2);
        ::execve(argv[0], argv.data(), environment.data());
        ::_exit(127);
    }
    return pid;
}

// One keep-alive HTTP/1.1 connection to the service, with the benchmark's token.
class HttpClient {
public:
    struct Answer {
        int status = 0;
        std::string body;
    };

    explicit HttpClient(int port) : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        const int noDelay = 1;
        ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        if (::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to the service");
    }
    ~HttpClient() { ::close(socket_); }
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    Answer send(const std::string& method, const std::string& path, const std::string& body = {})
    {
        const std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                                    token + "\r\nContent-Type: application/json\r\nContent-Length: " +
                                    std::to_string(body.size()) + "\r\n\r\n" + body;
        for (std::size_t sent = 0; sent < request.size();) {
            const ssize_t wrote = ::send(socket_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (wrote <= 0)
                throw std::runtime_error("the service closed the connection");
            sent += static_cast<std::size_t>(wrote);
        }
        std::size_t headersEnd;
        while ((headersEnd = buffer_.find("\r\n\r\n")) == std::string::npos)
            readMore();
        std::smatch length;
        const std::string headers = buffer_.substr(0, headersEnd);
        static const std::regex contentLength("content-length: *([0-9]+)", std::regex::icase);
        const std::size_t bodyLength =
            std::regex_search(headers, length, contentLength) ? std::stoul(length[1]) : 0;
        while (buffer_.size() < headersEnd + 4 + bodyLength)
            readMore();
        Answer answer{std::atoi(headers.c_str() + std::strlen("HTTP/1.1 ")), buffer_.substr(headersEnd + 4, bodyLength)};
        buffer_.erase(0, headersEnd + 4 + bodyLength);
        return answer;
    }

private:
    void readMore()
    {
        char chunk[65536];
        const ssize_t got = ::recv(socket_, chunk, sizeof chunk, 0);
        if (got <= 0)
            throw std::runtime_error("the service closed the connection");
        buffer_.append(chunk, static_cast<std::size_t>(got));
    }

    int socket_;
    std::string buffer_;
};

// The program in a scratch folder beside its travcard.cfg, the printer, and
// the service started there; stopped with SIGTERM when the benchmarks end.
class Setup {
public:
    Setup()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "travcard-service-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a scratch folder");
        folder_ = pattern;
        program_ = (folder_ / "travcard").string();
        std::filesystem::copy_file(TRAVCARD_PROGRAM, program_);
        std::ofstream(folder_ / "tokens") << "bench " << token << "\n";
        std::ofstream(folder_ / "travcard.cfg")
            << "PRINTER=" << printer.address() << "\nPRTTYPE=ZEBRA\nSERVICE_TOKENS=" << (folder_ / "tokens").string()
            << "\nSERVICE_LISTEN=127.0.0.1:0\nJOURNAL=" << (folder_ / "command-line.sqlite").string() << "\n";
        service_ = spawn({program_, "serve", "--journal", (folder_ / "service.sqlite").string()}, folder_ / "serve.log");
        static const std::regex listening("listening on port ([0-9]+)");
        for (int waited = 0; waited < 300 && port_ == 0; ++waited) {
            std::this_thread::sleep_for(100ms);
            std::smatch found;
            const std::string log = readFile(folder_ / "serve.log");
            if (std::regex_search(log, found, listening))
                port_ = std::stoi(found[1]);
        }
        if (port_ == 0) {
            fault_ = "the service did not start: " + readFile(folder_ / "serve.log");
            return;
        }
        // The first run opens its printer queue's database session.
        try {
            const HttpClient::Answer first = HttpClient(port_).send("POST", "/v1/print", printBody("12345"));
            if (first.status != 202 || !printer.job(0, 1min))
                fault_ = "the first print was not printed: " + first.body;
        } catch (const std::exception& error) {
            fault_ = error.what();
        }
    }
    ~Setup()
    {
        ::kill(service_, SIGTERM);
        int status = 0;
        ::waitpid(service_, &status, 0);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
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
    int port() const { return port_; }
    const std::string& program() const { return program_; }
    std::filesystem::path file(const std::string& name) const { return folder_ / name; }

    // A print request of the order to the default printer, with a new request id.
    std::string printBody(const std::string& order)
    {
        return R"({"location":"ST","order":")" + order + R"(","quantity":1,"request_id":"bench )" +
               std::to_string(++requests_) + "\"}";
    }

    DiscardingPrinter printer;

private:
    std::filesystem::path folder_;
    std::string program_;
    pid_t service_ = -1;
    int port_ = 0;
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

}  // namespace

BENCHMARK(firstByteService)->Name("firstByte/service")->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(firstByteCommandLine)
    ->Name("firstByte/command_line")
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run2000, no_polls, 0)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run2000, four_pollers, 4)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
