// The real window program, as a desktop ends it: started on Qt's VNC
// platform, where the test types on its keyboard as an operator would, then
// sent SIGTERM while it prints to a slow network printer.

#include "journal/journal.h"
#include "tests/fixtures/loopback_printer.h"
#include "tests/fixtures/main_window_fixture.h"
#include "tests/fixtures/travcard_program.h"
#include "tests/fixtures/whole_pages.h"

#include <QElapsedTimer>
#include <QProcess>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <csignal>
#include <cstdint>
#include <regex>
#include <set>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A VNC viewer (RFB 3.3, no authentication, raw pixels) that sees the screen
// and types. Every wait is bounded: a fault throws. A program built with the
// sanitizers, beside other tests, may take most of a minute to show.
class VncViewer {
public:
    explicit VncViewer(int port)
    {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!connectTo(port) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(50ms);
        if (socket_ < 0)
            throw std::runtime_error("no VNC server on port " + std::to_string(port));
        const timeval patience{10, 0};
        ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        receive(12);  // the server's version
        sendBytes("RFB 003.003\n");
        if (number(receive(4)) != 1)
            throw std::runtime_error("the VNC server asks for authentication");
        sendBytes(std::string(1, '\1'));  // shared
        const std::string init = receive(24);
        width_ = number(init.substr(0, 2));
        height_ = number(init.substr(2, 2));
        bytesPerPixel_ = static_cast<unsigned char>(init[4]) / 8;
        receive(number(init.substr(20, 4)));  // the desktop's name
        // The server's own pixels, said: Qt's server leaves a client's
        // format unset until it is told one.
        sendBytes(std::string(4, '\0') + init.substr(4, 16));
        sendBytes(std::string("\2\0\0\1\0\0\0\0", 8));  // raw encoding only
    }
    ~VncViewer() { ::close(socket_); }
    VncViewer(const VncViewer&) = delete;
    VncViewer& operator=(const VncViewer&) = delete;

    // Waits until a window is painted: more than a bare background and a pointer.
    bool waitForWindow(std::chrono::seconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (coloursOnScreen() > 16)
                return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    void type(const std::string& text)
    {
        for (const char c : text)
            press(static_cast<unsigned char>(c));
    }

    void press(std::uint32_t keysym)
    {
        for (const char down : {'\1', '\0'}) {
            std::string event{'\4', down, '\0', '\0'};
            for (int shift = 24; shift >= 0; shift -= 8)
                event += static_cast<char>(keysym >> shift);
            sendBytes(event);
        }
    }

    static constexpr std::uint32_t tab = 0xff09;
    static constexpr std::uint32_t enter = 0xff0d;

private:
    bool connectTo(int port)
    {
        socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return true;
        ::close(socket_);
        socket_ = -1;
        return false;
    }

    std::size_t coloursOnScreen()
    {
        std::string request{'\3', '\0'};  // the whole screen, not only what changed
        for (const std::size_t value : {std::size_t{0}, std::size_t{0}, width_, height_})
            request += {static_cast<char>(value >> 8), static_cast<char>(value)};
        sendBytes(request);
        const std::string header = receive(4);
        if (header[0] != 0)
            throw std::runtime_error("unexpected VNC message " + std::to_string(header[0]));
        std::set<std::string> colours;
        for (std::size_t rectangles = number(header.substr(2, 2)); rectangles > 0; --rectangles) {
            const std::string place = receive(12);
            const std::string pixels =
                receive(number(place.substr(4, 2)) * number(place.substr(6, 2)) * bytesPerPixel_);
            for (std::size_t at = 0; at < pixels.size() && colours.size() <= 16; at += bytesPerPixel_)
                colours.insert(pixels.substr(at, bytesPerPixel_));
        }
        return colours.size();
    }

    static std::size_t number(const std::string& bigEndian)
    {
        std::size_t value = 0;
        for (const char c : bigEndian)
            value = value << 8 | static_cast<unsigned char>(c);
        return value;
    }

    std::string receive(std::size_t size)
    {
        std::string bytes(size, '\0');
        for (std::size_t got = 0; got < size;) {
            const ssize_t n = ::recv(socket_, bytes.data() + got, size - got, 0);
            if (n <= 0)
                throw std::runtime_error(n == 0 ? "the VNC server closed the connection"
                                                : "the VNC server sent nothing for 10 s");
            got += static_cast<std::size_t>(n);
        }
        return bytes;
    }

    void sendBytes(const std::string& bytes)
    {
        if (::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("the VNC server took no input");
    }

    int socket_ = -1;
    std::size_t width_ = 0;
    std::size_t height_ = 0;
    std::size_t bytesPerPixel_ = 4;
};

using WindowProgram = MainWindowTest;

// A desktop logging out sends SIGTERM: the run stops after a whole page, is
// recorded cancelled, and the program ends within 10 s at 8 KB/s.
TEST_F(WindowProgram, SigtermStopsTheRunAfterAWholePageAndEnds)
{
    start("EPSON");
    locate("12345");
    print("All", "50");
    const std::string wholeRun = printed();

    LoopbackPrinter slow({.statusReply = {}, .bytesPerSecond = 8192});
    const ScratchDir station;
    const std::string journalPath = station.file("journal.sqlite");
    const std::string program = installProgram(
        station, "PRINTER=" + slow.address() + "\r\nPRTTYPE=EPSON\r\nJOURNAL=" + journalPath + "\r\n");
    QProcess window;
    std::unique_ptr<VncViewer> screen;
    // A port found free may be taken by another program before Qt's VNC
    // server binds it: then the program says so, and another port is tried.
    for (int attempt = 1; !screen; ++attempt) {
        const int port = LoopbackPrinter::closedPort();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", QString("vnc:size=640x480:port=%1").arg(port));
#ifdef TRAVCARD_LSAN_SUPPRESSIONS
        // Qt's VNC platform keeps its screen to the end of the process.
        environment.insert("LSAN_OPTIONS", "suppressions=" TRAVCARD_LSAN_SUPPRESSIONS);
#endif
        window.setProcessEnvironment(environment);
        window.start(QString::fromStdString(program), {});
        ASSERT_TRUE(window.waitForStarted());
        std::string fault;
        try {
            screen = std::make_unique<VncViewer>(port);
            if (!screen->waitForWindow(60s))
                fault = "the window did not show";
        } catch (const std::exception& error) {
            fault = error.what();
        }
        if (fault.empty())
            break;
        screen.reset();
        const std::string said = window.readAllStandardError().toStdString();
        window.kill();
        window.waitForFinished(10'000);
        ASSERT_TRUE(said.find("QVncServer could not connect") != std::string::npos && attempt < 3)
            << fault << "; the program said: " << said;
    }

    try {
        screen->press(VncViewer::tab);  // the location stays ST
        screen->type("12345");
        screen->press(VncViewer::enter);  // Locate
        std::this_thread::sleep_for(2s);
        for (int box = 0; box < 3; ++box)  // suffix, Locate, quantity
            screen->press(VncViewer::tab);
        screen->type("50");
        screen->press(VncViewer::tab);
        screen->type(" ");  // Print
    } catch (const std::exception& fault) {
        window.waitForFinished(1'000);
        FAIL() << fault.what() << "; the program " << (window.state() == QProcess::Running ? "runs" : "ended")
               << ", exit " << window.exitCode() << ": " << window.readAllStandardError().toStdString();
    }
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (slow.taken() < 8192 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_GE(slow.taken(), 8192u) << "the run did not start";

    ::kill(static_cast<pid_t>(window.processId()), SIGTERM);
    QElapsedTimer ending;
    ending.start();
    ASSERT_TRUE(window.waitForFinished(30'000));
    EXPECT_LT(ending.elapsed(), 10'000);
    const std::string errors = window.readAllStandardError().toStdString();
    EXPECT_EQ(window.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(window.exitCode(), 0) << errors;

    std::smatch count;
    ASSERT_TRUE(std::regex_search(errors, count, std::regex("Printing cancelled: \\d+ of 200 pages were sent\\.")))
        << errors;
    expectWholePagesAsCounted(slow.received(), wholeRun, count.str());
    const RunRecord run = Journal(QString::fromStdString(journalPath)).runs(1).at(0);
    EXPECT_EQ(run.outcome, "cancelled");
}

}  // namespace
