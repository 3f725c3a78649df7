#include "journal/file_system.h"

#include <QFile>

#include <sys/vfs.h>

std::optional<std::string> networkFileSystemName(std::uint32_t type)
{
    switch (type) {
    case 0x6969: return "NFS";
    case 0x517B: return "SMB";
    case 0xFF534D42: return "CIFS";
    case 0xFE534D42: return "SMB2";
    default: return std::nullopt;
    }
}

std::optional<std::string> networkFileSystemOf(const QString& folder)
{
    struct statfs system {};
    if (::statfs(QFile::encodeName(folder).constData(), &system) != 0)
        return std::nullopt;
    // f_type is a signed word: CIFS's magic number is negative where it is 32 bits.
    return networkFileSystemName(static_cast<std::uint32_t>(system.f_type));
}
