// One writer per printer on a server's journal: the lease's rules in the
// journal, and two programs on one printer when the first loses its
// connection to the journal part-way.

#include "journal/journal.h"

#include "tests/fixtures/loopback_printer.h"
#include "tests/journal/journal_location.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::int64_t fenceOf(const std::variant<std::int64_t, PrinterHolder>& taken)
{
    const std::int64_t* fence = std::get_if<std::int64_t>(&taken);
    return fence ? *fence : 0;
}

TEST(PrinterLease, OneHolderAtATimeWithAGrowingFenceAndTheJournalRefusesAStaleOnesMarks)
{
    const JournalLocation location;
    Journal journal(location.path());
    const std::string zebra = "socket://10.0.0.5:9100";
    EXPECT_EQ(fenceOf(journal.takePrinterLease(zebra, "a", 1000ms)), 1);
    const auto refused = journal.takePrinterLease(zebra, "b", 1000ms);
    ASSERT_TRUE(std::holds_alternative<PrinterHolder>(refused));
    EXPECT_GT(std::get<PrinterHolder>(refused).left, 5000);
    EXPECT_EQ(fenceOf(journal.takePrinterLease("socket://10.0.0.6:9100", "c", 1000ms)), 1) << "another printer";

    // Released, it is free at once; expired, only after the stall limit.
    journal.releasePrinterLease(zebra, "a");
    EXPECT_EQ(fenceOf(journal.takePrinterLease(zebra, "b", 1000ms)), 2);
    location.byHand({"UPDATE printer_leases SET expires = expires - 10500 WHERE holder = 'b'"});
    EXPECT_EQ(fenceOf(journal.takePrinterLease(zebra, "d", 1000ms)), 0) << "expired half a second ago";
    EXPECT_EQ(fenceOf(journal.takePrinterLease(zebra, "d", 400ms)), 3);

    // b's renewals no longer reach its lease, and its marks are refused.
    std::vector<std::string> renewed;
    for (const HeldLease& lease : journal.renewLeases())
        renewed.push_back(lease.holder);
    EXPECT_THAT(renewed, ::testing::UnorderedElementsAre("c", "d"));
    const std::int64_t run = journal.startRun(RunStart{}, {{"10", 2, "data"}});
    const TicketDigest digest{"10", 1, 3, std::string(32, 'x')};
    journal.markUnderLease(zebra, 2);
    try {
        journal.sending(run, 0, 1, {digest});
        ADD_FAILURE() << "marked under a lost lease";
    } catch (const JournalError& error) {
        EXPECT_THAT(error.what(), ::testing::HasSubstr("lease on the printer socket://10.0.0.5:9100 has run out"));
    }
    journal.markUnderLease(zebra, 3);
    EXPECT_NO_THROW(journal.sending(run, 0, 1, {digest}));
}

// A run of another program is alive while its lease lasts, whatever its
// process id says, and interrupted once it expired. Its program, back
// later, can still tell what the printer took, but not end the run again
// nor take back the tickets it marked.
TEST(PrinterLease, ARunOfAnotherProgramIsInterruptedOnceItsLeaseExpired)
{
    const JournalLocation location;
    Journal journal(location.path());
    const std::int64_t alive = journal.startRun(RunStart{}, {{"10", 1, "data"}});
    const std::int64_t expired = journal.startRun(RunStart{}, {{"10", 2, "data"}});
    journal.sending(expired, 0, 1, std::vector<TicketDigest>(2, {"10", 1, 9, std::string(32, '#')}));
    location.byHand({"UPDATE runs SET owner = 'station9;run-lock=1:boot:1:1'",
                     QStringLiteral("UPDATE runs SET lease_expires = lease_expires - 20000 WHERE id = %1").arg(expired)});
    EXPECT_EQ(journal.closeInterruptedRuns(), 1);
    EXPECT_EQ(journal.run(alive)->outcome, "");
    EXPECT_EQ(journal.run(expired)->inDoubt, 2);
    journal.confirm(expired, 1);
    journal.unsent(expired, 0);
    journal.endRun(expired, RunOutcome::Printed, 2, {});
    const std::optional<RunRecord> closed = journal.run(expired);
    EXPECT_EQ(closed->outcome, "interrupted");
    EXPECT_EQ(closed->confirmed, 1);
    EXPECT_EQ(closed->inDoubt, 1);
}

// A printer of the test's own that takes any number of connections at once,
// reading each slowly, answers ~HS, and keeps when each opened and closed.
class SlowSharedPrinter {
public:
    struct Connection {
        Clock::time_point opened, firstByte, lastByte, closed;
        std::size_t bytes = 0;
    };

    SlowSharedPrinter()
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // A small window, so that what it reads is acknowledged as it goes.
        const int window = 4096;
        ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            ADD_FAILURE() << "no listener";
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { accept(); });
    }
    ~SlowSharedPrinter()
    {
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        for (std::thread& reader : readers_)
            reader.join();
        ::close(listener_);
    }
    std::string address() const { return "socket://127.0.0.1:" + std::to_string(port_); }
    std::vector<Connection> connections() const
    {
        const std::lock_guard lock(guard_);
        return connections_;
    }

private:
    void accept()
    {
        for (;;) {
            const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                return;
            const std::lock_guard lock(guard_);
            connections_.push_back({Clock::now(), {}, {}, {}, 0});
            readers_.emplace_back([this, connection, index = connections_.size() - 1] { read(connection, index); });
        }
    }
    // 20 KB a second, as a printer that prints as it reads.
    void read(int connection, std::size_t index)
    {
        char buffer[2000];
        for (bool open = true; open; std::this_thread::sleep_for(100ms)) {
            const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
            const std::string_view read(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
            std::size_t asked = 0;
            for (auto at = read.find("~HS"); at != std::string_view::npos; at = read.find("~HS", at + 1)) {
                const std::string ready = LoopbackPrinter::hostStatus('0', '0', '0', '0');
                static_cast<void>(::send(connection, ready.data(), ready.size(), MSG_NOSIGNAL));
                ++asked;
            }
            const std::lock_guard lock(guard_);
            Connection& seen = connections_[index];
            open = got > 0 && !stopping_;
            if (!open)
                seen.closed = Clock::now();
            if (read.size() == asked * 3)
                continue;
            if (seen.bytes == 0)
                seen.firstByte = Clock::now();
            seen.lastByte = Clock::now();
            seen.bytes += read.size() - asked * 3;
        }
        ::close(connection);
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex guard_;
    std::vector<Connection> connections_;  // guarded
    std::vector<std::thread> readers_;     // guarded
    std::thread acceptor_;
};

// A role of the test's own, so that one program's connections can be cut
// and kept out; dropped after the test.
class Role {
public:
    explicit Role(const char* name) : name_(QStringLiteral("%1_%2").arg(QLatin1String(name)).arg(::getpid()))
    {
        EXPECT_TRUE(JournalLocation::psql(QStringLiteral("CREATE ROLE %1 LOGIN PASSWORD 'lease' IN ROLE tkr").arg(name_)));
    }
    ~Role() { EXPECT_TRUE(JournalLocation::psql(QStringLiteral("DROP ROLE %1").arg(name_))); }
    QString journal(const JournalLocation& location) const
    {
        return QString(location.path()).replace(QRegularExpression(QStringLiteral("//tkr:[^@]*@")),
                                                 QStringLiteral("//%1:lease@").arg(name_));
    }
    void cutOff() const
    {
        EXPECT_TRUE(JournalLocation::psql(QStringLiteral("ALTER ROLE %1 NOLOGIN").arg(name_)));
        EXPECT_TRUE(JournalLocation::psql(
            QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE usename = '%1'").arg(name_)));
    }

private:
    QString name_;
};

struct Child {
    explicit Child(const QStringList& arguments)
    {
        process.start(QStringLiteral(JOURNAL_PRINT_CHILD), arguments);
        EXPECT_TRUE(process.waitForStarted());
    }
    ~Child()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    QProcess process;
};

// The first holder loses the journal part-way (its connections ended, and
// kept out): it stops handing the printer tickets before its lease
// expires, and the second, waiting, begins only after the expiry and the
// stall limit. The printer never has both.
TEST(PrinterLease, AHolderCutOffFromTheJournalStopsBeforeTheNextBegins)
{
    const JournalLocation location;
    Journal(location.path()).closeInterruptedRuns();  // the tables, the test role's own
    const Role first("lease_first"), second("lease_second");
    SlowSharedPrinter printer;
    const QString stallMs = QStringLiteral("1000");
    Child holder({first.journal(location), QString::fromStdString(printer.address()), "400", "-", stallMs});
    for (auto waited = Clock::now(); printer.connections().empty() || printer.connections()[0].bytes < 20'000;) {
        ASSERT_LT(Clock::now() - waited, 20s) << "the first holder never printed: "
                                              << holder.process.readAllStandardError().toStdString();
        std::this_thread::sleep_for(50ms);
    }
    Child next({second.journal(location), QString::fromStdString(printer.address()), "5", "-", stallMs});
    std::this_thread::sleep_for(500ms);
    const Clock::time_point cut = Clock::now();
    first.cutOff();

    ASSERT_TRUE(holder.process.waitForFinished(30'000));
    // Stopped by whichever came first: a mark refused, or the lease's margin.
    EXPECT_THAT(holder.process.readAllStandardError().toStdString(), ::testing::HasSubstr("Printing stopped"));
    ASSERT_TRUE(next.process.waitForFinished(30'000));
    EXPECT_EQ(next.process.exitCode(), 0) << next.process.readAllStandardError().toStdString();

    const std::vector<SlowSharedPrinter::Connection> seen = printer.connections();
    ASSERT_EQ(seen.size(), 2u);
    const auto& [cutOff, after] = std::tie(seen[0], seen[1]);
    EXPECT_LT(cutOff.bytes, 400'000u) << "stopped part-way";
    EXPECT_LE(cutOff.closed, after.opened) << "the printer had both at once";
    // Renewed at most every 2 s before the cut, the lease lasted 8 s after it at least.
    EXPECT_GE(after.firstByte - cut, Journal::leaseTerm - Journal::leaseRenewEvery);
    EXPECT_EQ(after.bytes, 5'000u) << "whole";
}

}  // namespace

namespace {

// Every end of a run, whoever ends it, reaches a listener on another
// connection: a service waiting for a run another instance prints hears of
// its end at once.
TEST(RunEnds, ReachAListenerWhoeverEndsTheRun)
{
    static int argc = 1;
    static char name[] = "journal_server_tests";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);  // an event loop's, for the rest of the program
    const JournalLocation location;
    Journal listener(location.path());
    std::vector<std::int64_t> heard;
    listener.listenForEnds([&](std::int64_t run) { heard.push_back(run); });
    Journal other(location.path());
    const std::int64_t printed = other.startRun(RunStart{}, {{"10", 1, "data"}});
    const std::int64_t waiting = other.startRun(RunStart{}, {{"10", 1, "data"}});
    other.endRun(printed, RunOutcome::Printed, 1, "");
    other.cancelUnbegun(waiting, "cancelled");
    other.confirm(printed, 1);  // no end: nothing more told
    for (const auto until = Clock::now() + 5s; heard.size() < 2 && Clock::now() < until;)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(heard, (std::vector<std::int64_t>{printed, waiting}));
}

}  // namespace
