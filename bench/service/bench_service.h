#pragma once
// What the benchmarks of travcard serve share: the program copied into a
// scratch folder beside a travcard.cfg of their own, the service started
// there and stopped, and a kept-alive HTTP/1.1 client with their token.

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using Clock = std::chrono::steady_clock;

// The one token in the service's tokens file.
inline constexpr const char* benchToken = "0123456789abcdef-bench";

inline double seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }
inline double inMilliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

// The middle value, or 0 when there is none.
double median(std::vector<double> values);

std::string readFile(const std::filesystem::path& path);

// Starts the program with its arguments and no display, its standard error
// into errorFile; it is killed if this process ends first.
pid_t spawn(const std::vector<std::string>& arguments, const std::filesystem::path& errorFile);

inline sockaddr_in loopback(std::uint32_t host, int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(host);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

// A request with the benchmark's token; an empty body is sent as Content-Length: 0.
std::string request(const std::string& method, const std::string& path, const std::string& body = {});

// The first whole answer at the start of what a connection has read: its
// status, where its body begins and where it ends. Nothing while part of it
// is still to come. The service's answers all carry Content-Length.
struct Framed {
    int status = 0;
    std::size_t bodyStart = 0, end = 0;
};

std::optional<Framed> firstAnswer(std::string_view read);

// One keep-alive HTTP/1.1 connection to the service on 127.0.0.1, with the benchmark's token.
class HttpClient {
public:
    struct Answer {
        int status = 0;
        std::string body;
    };

    explicit HttpClient(int port);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    Answer send(const std::string& method, const std::string& path, const std::string& body = {});

private:
    void readMore();

    int socket_;
    std::string buffer_;
};

// A scratch folder holding a copy of the program and a tokens file with the
// benchmark's token; removed, with all in it, when this ends.
class ServiceFolder {
public:
    ServiceFolder();
    ~ServiceFolder();
    ServiceFolder(const ServiceFolder&) = delete;
    ServiceFolder& operator=(const ServiceFolder&) = delete;

    // The program's travcard.cfg: the printer, the tokens file, a port the
    // system picks on 127.0.0.1, and the further lines given.
    void writeConfig(const std::string& printer, const std::string& moreLines = {}) const;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path file(const std::string& name) const { return path_ / name; }
    const std::string& program() const { return program_; }

private:
    std::filesystem::path path_;
    std::string program_;
};

// travcard serve started from the folder's program, with the journal
// NAME.sqlite there (or the journal given, e.g. a postgresql:// URI) and its
// standard error in NAME.log; stopped with SIGTERM when this ends.
class Service {
public:
    // The journal of the service NAME, which the caller may fill before starting it.
    static std::filesystem::path journal(const ServiceFolder& folder, const std::string& name);

    Service(const ServiceFolder& folder, const std::string& name, const std::string& journalLocation = {});
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Why the service did not start; empty once it listens.
    const std::string& fault() const { return fault_; }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // Ends it with SIGKILL, as a crash or a pulled plug would, and reaps it.
    void kill();

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string fault_;
};
