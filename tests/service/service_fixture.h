#pragma once
// travcard serve, the real program without a display, started as the
// service manager starts it, with a travcard.cfg, a tokens file and a
// journal of the test's own, listening on a free port of 127.0.0.1; and
// called over HTTP as an ERP calls it. The process is killed when the test
// ends, also when it fails. Test fixtures derive from it beside their
// ::testing::Test base; the program needs TRAVCARD_PROGRAM. RawCaller
// calls it over a plain socket, for what an HTTP library would not send.

#include "journal/journal.h"
#include "tests/fixtures/data_source.h"
#include "tests/fixtures/travcard_program.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QSslError>
#include <QTimer>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <string_view>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// One connection to the service from a loopback address of the test's
// choosing (the service tells 127.0.0.2 and 127.0.0.3 apart as callers),
// on a plain socket: requests split, pipelined, malformed or never ended.
class RawCaller {
public:
    struct Answer {
        int status = 0;  // 0: none came whole
        std::string head;
        std::string body;

        QJsonObject json() const { return QJsonDocument::fromJson(QByteArray::fromStdString(body)).object(); }
        // A header's value; empty when it was not sent.
        std::string header(const std::string& name) const
        {
            const std::regex line("\\r\\n" + name + ":[ \\t]*([^\\r]*)", std::regex::icase);
            std::smatch found;
            return std::regex_search(head, found, line) ? found[1].str() : std::string();
        }
    };

    RawCaller(quint16 port, const char* from = "127.0.0.1")
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &address.sin_addr);
        const timeval sendLimit{10, 0};  // a send never hangs the test
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return;
        address.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ended_ = !connected_;
    }
    ~RawCaller()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    RawCaller(const RawCaller&) = delete;
    RawCaller& operator=(const RawCaller&) = delete;

    bool connected() const { return connected_; }

    // All of bytes sent; false once the service has closed or reset the connection.
    bool send(std::string_view bytes)
    {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }

    // Reads what has come, without waiting; false once the connection has
    // ended (closed or reset by the service).
    bool pump() { return receive(0); }

    // The next whole answer; status 0 when the connection ended first or timeout passed.
    Answer answer(std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (const std::size_t length = wholeAnswerLength()) {
                Answer whole = parse(received_.substr(0, length));
                received_.erase(0, length);
                return whole;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (ended_ || left.count() <= 0)
                return {};
            receive(static_cast<int>(left.count()));
        }
    }

    // Whether the service closed the connection within timeout; what came before is kept.
    bool ended(std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (!ended_ && std::chrono::steady_clock::now() < until)
            receive(50);
        return ended_;
    }

    // The status of the first answer received, whole or not; 0 before one came.
    int firstStatus() const { return received_.size() >= 12 ? std::atoi(received_.c_str() + 9) : 0; }

private:
    bool receive(int timeoutMs)
    {
        pollfd entry{fd_, POLLIN, 0};
        if (ended_ || ::poll(&entry, 1, timeoutMs) <= 0)
            return !ended_;
        char chunk[16384];
        ssize_t got = 0;
        while ((got = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
            received_.append(chunk, static_cast<std::size_t>(got));
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            ended_ = true;
        return !ended_;
    }

    std::size_t wholeAnswerLength() const
    {
        const std::size_t headEnd = received_.find("\r\n\r\n");
        if (headEnd == std::string::npos)
            return 0;
        const std::string length = parse(received_.substr(0, headEnd + 4)).header("Content-Length");
        const std::size_t whole = headEnd + 4 + (length.empty() ? 0 : std::stoul(length));
        return received_.size() >= whole ? whole : 0;
    }

    static Answer parse(const std::string& bytes)
    {
        const std::size_t headEnd = bytes.find("\r\n\r\n");
        return {std::atoi(bytes.c_str() + 9), bytes.substr(0, headEnd + 2), bytes.substr(headEnd + 4)};
    }

    int fd_ = -1;
    bool connected_ = false;
    bool ended_ = true;
    std::string received_;
};

class ServiceProcess {
public:
    static constexpr const char* token = "0123456789abcdef-erp";

    struct Response {
        int status = 0;
        QJsonObject json;
        QByteArray retryAfter;
    };

    ~ServiceProcess()
    {
        if (service.state() != QProcess::NotRunning) {
            service.kill();
            service.waitForFinished(10'000);
        }
    }

    // Starts the service with PRINTER= printer and the extra lines of
    // travcard.cfg; with descriptorLimit set, that many open files at most.
    void startService(const std::string& printer, const std::string& type, const std::string& extra = {})
    {
        folder = std::make_unique<ScratchDir>();
        folder->write("tokens", std::string("# who may call\nerp ") + token + "\n");
        ::chmod(folder->file("tokens").c_str(), 0600);  // the service refuses a tokens file others can read
        installProgram(*folder, "PRINTER=" + printer + "\nPRTTYPE=" + type + "\nSERVICE_TOKENS=" +
                                    folder->file("tokens") + "\nSERVICE_LISTEN=127.0.0.1:0\n" + extra);
        // It ends with the test program, also with one that crashes.
        service.setChildProcessModifier([limit = descriptorLimit] {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (limit > 0) {
                const rlimit files{limit, limit};
                ::setrlimit(RLIMIT_NOFILE, &files);
            }
        });
        const std::string journal = journalUri.empty() ? journalFile() : journalUri;
        startWithoutDisplay(service, folder->file("travcard"), {"serve", "--journal", QString::fromStdString(journal)},
                            folder->path());
        const std::regex listening("listening on port (\\d+)");
        std::smatch found;
        for (int waited = 0; waited < 100 && port == 0; ++waited) {
            service.waitForReadyRead(100);
            log += service.readAllStandardError().toStdString();
            if (std::regex_search(log, found, listening))
                port = static_cast<quint16>(std::stoi(found[1]));
        }
        ASSERT_NE(port, 0) << log;
    }

    QNetworkRequest request(const QString& path, const QByteArray& bearer = token) const
    {
        QNetworkRequest request(QUrl(QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme).arg(port).arg(path)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        if (!bearer.isEmpty())
            request.setRawHeader("Authorization", "Bearer " + bearer);
        return request;
    }

    static Response responseOf(QNetworkReply& reply)
    {
        return {reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                QJsonDocument::fromJson(reply.readAll()).object(), reply.rawHeader("Retry-After")};
    }

    Response call(const QByteArray& method, const QString& path, const QByteArray& body = {},
                  const QByteArray& bearer = token)
    {
        QNetworkReply* reply = network.sendCustomRequest(request(path, bearer), method, body);
        // The test's own certificate is signed by nobody.
        QObject::connect(reply, &QNetworkReply::sslErrors, reply, [reply] { reply->ignoreSslErrors(); });
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(90'000, &loop, &QEventLoop::quit);
        loop.exec();
        const Response response = responseOf(*reply);
        reply->deleteLater();
        return response;
    }

    Response post(const QString& path, const QJsonObject& body)
    {
        return call("POST", path, QJsonDocument(body).toJson(QJsonDocument::Compact));
    }

    // The run once it has ended (the service holds the answer until then).
    QJsonObject ended(qint64 run)
    {
        for (int polls = 0; polls < 10; ++polls) {
            const Response seen = call("GET", QStringLiteral("/v1/runs/%1?wait=30").arg(run));
            if (seen.status != 200 || !seen.json["ended"].isNull())
                return seen.json;
        }
        return {};
    }

    // A request as an HTTP client sends it; extraHeaders are whole lines.
    static std::string rawRequest(const std::string& method, const std::string& path, const std::string& body = {},
                                  const std::string& bearer = token, const std::string& extraHeaders = {})
    {
        std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders;
        if (!bearer.empty())
            request += "Authorization: Bearer " + bearer + "\r\n";
        if (!body.empty())
            request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
        return request + "\r\n" + body;
    }

    void signal(int number) { ::kill(static_cast<pid_t>(service.processId()), number); }

    // The most memory the service has held (VmHWM), in kB.
    long peakMemoryKb() const
    {
        std::ifstream status("/proc/" + std::to_string(service.processId()) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmHWM:", 0) == 0)
                return std::stol(line.substr(6));
        return -1;
    }

    // Whether the log shows text past its first from bytes within timeout.
    bool logShows(const std::string& text, std::size_t from = 0,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            log += service.readAllStandardError().toStdString();
            if (log.find(text, from) != std::string::npos)
                return true;
            if (std::chrono::steady_clock::now() >= until)
                return false;
            service.waitForReadyRead(50);
        }
    }

    // The service's journal, where a command of the same station finds it.
    std::string journalFile() const { return folder->file("state/travcard/journal.sqlite"); }
    Journal serviceJournal() const
    {
        return Journal(QString::fromStdString(journalUri.empty() ? journalFile() : journalUri));
    }

    // A command of the service's station, run from another shell: its exit
    // status and standard output.
    std::pair<int, std::string> station(const QStringList& arguments)
    {
        QProcess command;
        startWithoutDisplay(command, folder->file("travcard"), arguments, folder->file("state"));
        EXPECT_TRUE(command.waitForFinished(60'000));
        return {command.exitCode(), command.readAllStandardOutput().toStdString()};
    }

    // Stops the service as the service manager does, and waits for it to end.
    int terminate()
    {
        service.terminate();
        EXPECT_TRUE(service.waitForFinished(60'000));
        log += service.readAllStandardError().toStdString();
        return service.exitCode();
    }

    static QJsonObject order(const char* requestId, int quantity = 1, const char* printer = nullptr)
    {
        QJsonObject body{{"location", "ST"}, {"order", "12345"}, {"quantity", quantity}, {"request_id", requestId}};
        if (printer)
            body.insert("printer", printer);
        return body;
    }

    std::unique_ptr<ScratchDir> folder;
    std::string journalUri;  // a server's journal (postgresql://...) in place of the file in folder
    QProcess service;
    quint16 port = 0;
    rlim_t descriptorLimit = 0;
    QString scheme = "http";
    std::string log;
    QNetworkAccessManager network;
};
