// Whether a run's owner still runs: decided by this machine's boot and the
// process's start time, never by the host name, which cloned stations share.

#include "journal/file_system.h"
#include "journal/run_owner.h"

#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

namespace {

TEST(RunOwner, IsAliveOnlyInThisBootWithTheSameProcessAndStartTime)
{
    const QStringList own = QString::fromStdString(currentRunOwner()).split(u':');
    ASSERT_EQ(own.size(), 4) << currentRunOwner();
    const QString &host = own[0], &boot = own[1], &pid = own[2], &start = own[3];
    const QString otherBoot = "00000000-0000-0000-0000-000000000000";
    struct Case {
        const char* what;
        QStringList owner;
        bool alive;
    };
    const Case cases[] = {
        {"this process", {host, boot, pid, start}, true},
        {"this process, under another station's name", {"cloned-station", boot, pid, start}, true},
        {"this station's name, another boot", {host, otherBoot, pid, start}, false},
        {"another station's name and boot", {"elsewhere", otherBoot, pid, start}, false},
        {"this process id, another start time", {host, boot, pid, start + "1"}, false},
        {"no process", {host, boot, "0", start}, false},
        {"no boot", {host, "", pid, start}, false},
        {"a process id that is not a number", {host, boot, pid + "x", start}, false},
        {"no start time", {host, boot, pid, ""}, false},
        {"three parts", {host, boot, pid}, false},
        {"five parts", {host, boot, pid, start, start}, false},
        {"empty", {}, false},
    };
    for (const Case& owner : cases) {
        const std::string text = owner.owner.join(u':').toStdString();
        EXPECT_EQ(runOwnerAlive(text), owner.alive) << owner.what << ": " << text;
    }
}

TEST(JournalFolder, NetworkFileSystemsAreToldByTheirMagicNumber)
{
    struct Case {
        std::uint32_t type;
        std::optional<std::string> name;
    };
    const Case cases[] = {
        {0x6969, "NFS"},         {0x517B, "SMB"},         {0xFF534D42, "CIFS"},   {0xFE534D42, "SMB2"},
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

}  // namespace
