#include "bench/service/bench_service.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

using namespace std::chrono_literals;

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

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

std::string request(const std::string& method, const std::string& path, const std::string& body)
{
    return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + benchToken +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::optional<Framed> firstAnswer(std::string_view read)
{
    const std::size_t headersEnd = read.find("\r\n\r\n");
    if (headersEnd == std::string_view::npos)
        return std::nullopt;
    const std::string_view headers = read.substr(0, headersEnd);
    constexpr std::string_view field = "\r\ncontent-length:";
    const auto found =
        std::search(headers.begin(), headers.end(), field.begin(), field.end(),
                    [](char got, char lower) { return std::tolower(static_cast<unsigned char>(got)) == lower; });
    std::size_t length = 0;
    if (found != headers.end()) {
        std::size_t digits = static_cast<std::size_t>(found - headers.begin()) + field.size();
        while (digits < headers.size() && headers[digits] == ' ')
            ++digits;
        std::from_chars(headers.data() + digits, headers.data() + headers.size(), length);
    }
    const std::size_t end = headersEnd + 4 + length;
    if (read.size() < end)
        return std::nullopt;
    Framed framed{0, headersEnd + 4, end};
    constexpr std::string_view statusLine = "HTTP/1.1 ";
    if (headers.starts_with(statusLine))
        std::from_chars(headers.data() + statusLine.size(), headers.data() + headers.size(), framed.status);
    return framed;
}

HttpClient::HttpClient(int port) : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    const sockaddr_in address = loopback(INADDR_LOOPBACK, port);
    const int noDelay = 1;
    ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    if (::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(socket_);
        throw std::runtime_error("cannot connect to the service");
    }
}

HttpClient::~HttpClient() { ::close(socket_); }

HttpClient::Answer HttpClient::send(const std::string& method, const std::string& path, const std::string& body)
{
    const std::string bytes = request(method, path, body);
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t wrote = ::send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (wrote <= 0)
            throw std::runtime_error("the service closed the connection");
        sent += static_cast<std::size_t>(wrote);
    }
    std::optional<Framed> framed;
    while (!(framed = firstAnswer(buffer_)))
        readMore();
    Answer answer{framed->status, buffer_.substr(framed->bodyStart, framed->end - framed->bodyStart)};
    buffer_.erase(0, framed->end);
    return answer;
}

void HttpClient::readMore()
{
    char chunk[65536];
    const ssize_t got = ::recv(socket_, chunk, sizeof chunk, 0);
    if (got <= 0)
        throw std::runtime_error("the service closed the connection");
    buffer_.append(chunk, static_cast<std::size_t>(got));
}

ServiceFolder::ServiceFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "travcard-service-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a scratch folder");
    path_ = pattern;
    program_ = file("travcard").string();
    std::filesystem::copy_file(TRAVCARD_PROGRAM, program_);
    std::ofstream(file("tokens")) << "bench " << benchToken << "\n";
    // The service refuses a tokens file that others may read.
    std::filesystem::permissions(file("tokens"),
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

ServiceFolder::~ServiceFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void ServiceFolder::writeConfig(const std::string& printer, const std::string& moreLines) const
{
    std::ofstream(file("travcard.cfg")) << "PRINTER=" << printer << "\nPRTTYPE=ZEBRA\nSERVICE_TOKENS="
                                        << file("tokens").string() << "\nSERVICE_LISTEN=127.0.0.1:0\n"
                                        << moreLines;
}

std::filesystem::path Service::journal(const ServiceFolder& folder, const std::string& name)
{
    return folder.file(name + ".sqlite");
}

Service::Service(const ServiceFolder& folder, const std::string& name, const std::string& journalLocation)
{
    const std::filesystem::path log = folder.file(name + ".log");
    // Not the port of an earlier service that wrote there.
    std::filesystem::remove(log);
    pid_ = spawn({folder.program(), "serve", "--journal",
                  journalLocation.empty() ? journal(folder, name).string() : journalLocation},
                 log);
    static const std::regex listening("listening on port ([0-9]+)");
    // A long journal may take a while to open.
    for (const auto until = Clock::now() + 60s; port_ == 0 && Clock::now() < until;) {
        std::this_thread::sleep_for(20ms);
        std::smatch found;
        const std::string said = readFile(log);
        if (std::regex_search(said, found, listening))
            port_ = std::stoi(found[1]);
        else if (int status = 0; ::waitpid(pid_, &status, WNOHANG) == pid_)
            pid_ = -1;
        if (pid_ < 0)
            break;
    }
    if (port_ == 0)
        fault_ = "the service did not start: " + readFile(log);
}

void Service::kill()
{
    if (pid_ < 0)
        return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

Service::~Service()
{
    if (pid_ < 0)
        return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
}
