// GET /metrics of travcard serve as a Prometheus server scrapes it, on one
// kept-alive connection, with range(0) ended runs of four tickets in the
// service's journal (written before it starts): the time from a scrape's
// request to its whole answer, and median_ms over the iterations. A scrape
// reads nothing of the journal, so 10,000 runs cost what none do.

#include "journal/journal.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* token = "0123456789abcdef-bench";

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

// ended runs of four tickets, printed, in a new journal at path.
void fillJournal(const std::filesystem::path& path, int ended)
{
    Journal journal(QString::fromStdString(path.string()));
    const std::vector<PlannedTicket> plan(4, PlannedTicket{"10", 1, std::string(110, 'd')});
    for (int i = 0; i < ended; ++i) {
        RunStart start;
        start.source = "metrics bench";
        start.location = "ST";
        start.order = "12345";
        start.printer = "/dev/null";
        start.printerType = "ZEBRA";
        journal.endRun(journal.startRun(start, plan), RunOutcome::Printed, 4, {});
    }
    if (ended > 0 && journal.runs(1).at(0).id != ended)
        throw std::runtime_error("the journal does not hold the runs written");
}

// travcard serve in a scratch folder of its own, its journal holding the
// ended runs; stopped with SIGTERM, and the folder removed, at the end.
class ScrapedService {
public:
    explicit ScrapedService(int endedRuns)
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "travcard-metrics-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a scratch folder");
        folder_ = pattern;
        const std::string program = (folder_ / "travcard").string();
        std::filesystem::copy_file(TRAVCARD_PROGRAM, program);
        std::ofstream(folder_ / "tokens") << "bench " << token << "\n";
        std::filesystem::permissions(folder_ / "tokens", std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::owner_write);
        std::ofstream(folder_ / "travcard.cfg") << "PRINTER=" << (folder_ / "printer.out").string()
                                                << "\nPRTTYPE=ZEBRA\nSERVICE_TOKENS=" << (folder_ / "tokens").string()
                                                << "\nSERVICE_LISTEN=127.0.0.1:0\n";
        fillJournal(folder_ / "journal.sqlite", endedRuns);
        start({program, "serve", "--journal", (folder_ / "journal.sqlite").string()});
    }
    ~ScrapedService()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    ScrapedService(const ScrapedService&) = delete;
    ScrapedService& operator=(const ScrapedService&) = delete;

    int port() const { return port_; }

private:
    void start(std::vector<std::string> arguments)
    {
        const std::string log = (folder_ / "service.log").string();
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        std::vector<char*> environment;  // without a display: the service needs none
        for (char** variable = environ; *variable; ++variable)
            if (!std::string_view(*variable).starts_with("DISPLAY=") &&
                !std::string_view(*variable).starts_with("WAYLAND_DISPLAY="))
                environment.push_back(*variable);
        environment.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int error = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            ::dup2(error, 2);
            ::execve(argv[0], argv.data(), environment.data());
            ::_exit(127);
        }
        static const std::regex listening("listening on port ([0-9]+)");
        for (const auto until = Clock::now() + 60s; port_ == 0 && Clock::now() < until;) {
            std::this_thread::sleep_for(20ms);
            std::smatch found;
            const std::string said = readFile(log);
            if (std::regex_search(said, found, listening))
                port_ = std::stoi(found[1]);
        }
        if (port_ == 0)
            throw std::runtime_error("the service did not start: " + readFile(log));
    }

    std::filesystem::path folder_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// GET /metrics on one kept-alive connection: the answer's status and body.
class Scraper {
public:
    explicit Scraper(int port) : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        const int noDelay = 1;
        ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        if (::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to the service");
    }
    ~Scraper() { ::close(socket_); }
    Scraper(const Scraper&) = delete;
    Scraper& operator=(const Scraper&) = delete;

    std::pair<int, std::string> scrape()
    {
        const std::string request = std::string("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer ") +
                                    token + "\r\n\r\n";
        if (::send(socket_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
            throw std::runtime_error("the service closed the connection");
        std::size_t headEnd;
        while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos)
            readMore();
        static const std::regex lengthField("\r\ncontent-length: *([0-9]+)", std::regex::icase);
        std::smatch found;
        const std::string head = buffer_.substr(0, headEnd);
        const std::size_t length = std::regex_search(head, found, lengthField) ? std::stoul(found[1]) : 0;
        while (buffer_.size() < headEnd + 4 + length)
            readMore();
        std::pair<int, std::string> answer{std::atoi(buffer_.c_str() + 9), buffer_.substr(headEnd + 4, length)};
        buffer_.erase(0, headEnd + 4 + length);
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

void scrape(benchmark::State& state)
{
    static std::map<int, std::unique_ptr<ScrapedService>> services;
    const int endedRuns = static_cast<int>(state.range(0));
    std::vector<double> milliseconds;
    try {
        std::unique_ptr<ScrapedService>& service = services[endedRuns];
        if (!service)
            service = std::make_unique<ScrapedService>(endedRuns);
        Scraper scraper(service->port());
        for (int warmUp = 0; warmUp < 20; ++warmUp)
            scraper.scrape();
        for (auto _ : state) {
            const auto sent = Clock::now();
            const auto [status, body] = scraper.scrape();
            const auto took = Clock::now() - sent;
            if (status != 200)
                return state.SkipWithError(("GET /metrics answered " + std::to_string(status)).c_str());
            state.SetIterationTime(std::chrono::duration<double>(took).count());
            milliseconds.push_back(std::chrono::duration<double, std::milli>(took).count());
            state.counters["body_kB"] = static_cast<double>(body.size()) / 1000;
        }
    } catch (const std::exception& error) {
        return state.SkipWithError(error.what());
    }
    const auto middle = milliseconds.begin() + static_cast<std::ptrdiff_t>(milliseconds.size() / 2);
    std::nth_element(milliseconds.begin(), middle, milliseconds.end());
    state.counters["median_ms"] = milliseconds.empty() ? 0 : *middle;
}

}  // namespace

BENCHMARK(scrape)->ArgName("ended_runs")->Arg(0)->Arg(10'000)->Iterations(2'000)->UseManualTime()->Unit(
    benchmark::kMicrosecond);
