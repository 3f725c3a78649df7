// Whether a run's owner still runs: its run's lock when it holds one;
// else this machine's boot and the process's start time, never the host
// name, which cloned stations share. What cannot be read counts as alive.

#include "journal/file_system.h"
#include "journal/journal.h"
#include "journal/run_lock.h"
#include "journal/run_owner.h"

#include "tests/fixtures/data_source.h"

#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QStringList fieldsOf(const std::string& owner) { return QString::fromStdString(owner).split(u':'); }

TEST(RunOwner, IsAliveByItsRunLockOrElseInThisBootWithTheSameProcessAndStartTime)
{
    const QStringList own = fieldsOf(currentRunOwner(false));
    const QStringList locking = fieldsOf(currentRunOwner(true));
    ASSERT_EQ(own.size(), 4) << currentRunOwner(false);
    ASSERT_EQ(locking.size(), 4) << currentRunOwner(true);
    const QString &host = own[0], &boot = own[1], &pid = own[2], &start = own[3];
    const QString& lockHost = locking[0];  // host, the mark and this PID namespace
    const QString elsewhere = lockHost.left(lockHost.lastIndexOf(u'=') + 1) + "1";  // another PID namespace
    const QString otherBoot = "00000000-0000-0000-0000-000000000000";
    const QString gone = "2147483647";  // kill() answers ESRCH
    using enum RunLockState;
    struct Case {
        const char* what;
        QStringList owner;
        RunLockState lock;
        bool alive;
    };
    const Case cases[] = {
        // Owners from before run locks: their lock is not looked at.
        {"this process", {host, boot, pid, start}, Free, true},
        {"this process, under another station's name", {"cloned-station", boot, pid, start}, Free, true},
        {"this station's name, another boot", {host, otherBoot, pid, start}, Held, false},
        {"another station's name and boot", {"elsewhere", otherBoot, pid, start}, Held, false},
        {"this process id, another start time", {host, boot, pid, start + "1"}, Held, false},
        {"a process that is gone", {host, boot, gone, start}, Held, false},
        {"no process", {host, boot, "0", start}, Held, false},
        {"no boot", {host, "", pid, start}, Held, false},
        {"a process id that is not a number", {host, boot, pid + "x", start}, Held, false},
        {"no start time", {host, boot, pid, ""}, Held, false},
        {"three parts", {host, boot, pid}, Held, false},
        {"five parts", {host, boot, pid, start, start}, Held, false},
        {"empty", {}, Held, false},
        // Owners that hold their run's lock.
        {"held, in another PID namespace", {elsewhere, boot, "1", "1"}, Held, true},
        {"held, whatever its process id says", {lockHost, boot, gone, start}, Held, true},
        {"free, though this process runs", {lockHost, boot, pid, start}, Free, false},
        {"unreadable, in another PID namespace", {elsewhere, boot, gone, start}, Unreadable, true},
        {"unreadable, of a namespace not recorded", {lockHost.left(lockHost.lastIndexOf(u'=') + 1), boot, gone, start},
         Unreadable, true},
        {"unreadable, this process", {lockHost, boot, pid, start}, Unreadable, true},
        {"unreadable, a process of this namespace that is gone", {lockHost, boot, gone, start}, Unreadable, false},
        {"unreadable, this process id, another start time", {lockHost, boot, pid, start + "1"}, Unreadable, false},
        {"unreadable, another boot", {lockHost, otherBoot, pid, start}, Unreadable, false},
    };
    for (const Case& owner : cases) {
        const std::string text = owner.owner.join(u':').toStdString();
        EXPECT_EQ(runOwnerAlive(text, owner.lock), owner.alive) << owner.what << ": " << text;
    }
}

// A journal on a server holds every station's runs: only one of this boot
// can be told gone.
TEST(RunOwner, OnAServerIsGoneOnlyWhenItIsOfThisBootAndItsProcessIsGone)
{
    const QStringList own = fieldsOf(currentRunOwner(true));
    const QString &host = own[0], &boot = own[1], &pid = own[2], &start = own[3];
    const struct {
        const char* what;
        QStringList owner;
        bool alive;
    } cases[] = {
        {"this process", {host, boot, pid, start}, true},
        {"this process id, another start time", {host, boot, pid, start + "1"}, false},
        {"a process that is gone, before run locks", {"station", boot, "2147483647", start}, false},
        {"another boot, another station's or this one's before a restart", {host, "00000000-0000", pid, start}, true},
        {"malformed", {host, boot, pid}, true},
    };
    for (const auto& owner : cases) {
        const std::string text = owner.owner.join(u':').toStdString();
        EXPECT_EQ(serverRunOwnerAlive(text), owner.alive) << owner.what << ": " << text;
    }
}

// No file descriptor left: /proc cannot be read, which tells nothing.
TEST(RunOwner, IsAliveWhileProcCannotBeRead)
{
    const std::string own = currentRunOwner(false);
    ASSERT_TRUE(runOwnerAlive(own, RunLockState::Unreadable));
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    rlimit few = limit;
    few.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 256);
    std::vector<int> taken{::open("/dev/null", O_RDONLY)};
    ASSERT_GE(taken.front(), 0);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &few), 0);
    for (int fd = ::dup(taken.front()); fd >= 0; fd = ::dup(taken.front()))
        taken.push_back(fd);
    const int full = errno;
    const bool alive = runOwnerAlive(own, RunLockState::Unreadable);
    for (const int fd : taken)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ASSERT_EQ(full, EMFILE);
    EXPECT_TRUE(alive);
}

// Reached by a link here, as another program may reach the file by its own path.
TEST(RunLock, IsHeldFromARunsStartUntilItsEndIsRecorded)
{
    ScratchDir dir;
    const QString path = QString::fromStdString(dir.file("journal.sqlite"));
    std::filesystem::create_symlink(dir.file("journal.sqlite"), dir.file("link.sqlite"));
    Journal journal(QString::fromStdString(dir.file("link.sqlite")));
    const std::int64_t ended = journal.startRun(RunStart{}, {{"10", 1, "data"}});
    RunStart request;
    request.requestId = "ERP 1";
    const std::int64_t claimed = std::get<std::int64_t>(journal.claimRequest(request));
    for (const std::int64_t run : {ended, claimed})
        EXPECT_EQ(runLockState(path, run), RunLockState::Held) << run;
    EXPECT_EQ(runLockState(path, claimed + 1), RunLockState::Free);
    journal.endRun(ended, RunOutcome::Printed, 1, {});
    EXPECT_TRUE(journal.releaseRun(claimed));
    for (const std::int64_t run : {ended, claimed})
        EXPECT_EQ(runLockState(path, run), RunLockState::Free) << run;
    EXPECT_EQ(runLockState(path + ".elsewhere", ended), RunLockState::Unreadable);
}

TEST(JournalFolder, NetworkFileSystemsAreToldByTheirMagicNumber)
{
    struct Case {
        std::uint32_t type;
        std::optional<std::string> name;
    };
    const Case cases[] = {
        {0x6969, "NFS"},         {0x517B, "SMB"},         {0xFF534D42, "CIFS"},   {0xFE534D42, "SMB2"},
        {0x65735546, "FUSE"},    {0x01021997, "9p"},      {0x00C36400, "Ceph"},   {0x0BD00BD0, "Lustre"},
        {0x5346414F, "AFS"},     {0x6B414653, "AFS"},
        {0xEF53, std::nullopt},  // ext4
        {0x01021994, std::nullopt},  // tmpfs
        {0x9123683E, std::nullopt},  // btrfs
        {0x58465342, std::nullopt},  // XFS
        {0x794C7630, std::nullopt},  // overlayfs
        {0, std::nullopt},
    };
    for (const Case& system : cases)
        EXPECT_EQ(networkFileSystemName(system.type), system.name) << std::hex << system.type;
}

// A link is followed to the folder that holds the file; a folder that
// cannot be asked is refused.
TEST(JournalFolder, IsAskedWhereALinkLeads)
{
    ScratchDir dir;
    const std::string link = dir.file("journal.sqlite");
    std::filesystem::create_symlink("/nonexistent-travcard-folder/journal.sqlite", link);
    EXPECT_EQ(journalFileSystemRefusal(QString::fromStdString(dir.file("local.sqlite"))), std::nullopt);
    const std::optional<QString> refused = journalFileSystemRefusal(QString::fromStdString(link));
    ASSERT_TRUE(refused);
    EXPECT_TRUE(refused->contains("/nonexistent-travcard-folder")) << refused->toStdString();
}

}  // namespace
