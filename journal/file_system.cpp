#include "journal/file_system.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/vfs.h>

namespace {

// The folder that holds path once every link is followed; a link that
// leads nowhere yet is followed to the folder it names.
QString realFolderOf(const QString& path)
{
    QFileInfo file(path);
    for (int hops = 0; file.isSymLink() && !file.exists() && hops < 40; ++hops)
        file = QFileInfo(file.symLinkTarget());
    const QString real = file.canonicalFilePath();
    const QString folder = real.isEmpty() ? file.absolutePath() : QFileInfo(real).absolutePath();
    const QString realFolder = QFileInfo(folder).canonicalFilePath();
    return realFolder.isEmpty() ? folder : realFolder;
}

}  // namespace

std::optional<std::string> networkFileSystemName(std::uint32_t type)
{
    switch (type) {
    case 0x6969: return "NFS";
    case 0x517B: return "SMB";
    case 0xFF534D42: return "CIFS";
    case 0xFE534D42: return "SMB2";
    case 0x65735546: return "FUSE";
    case 0x01021997: return "9p";
    case 0x00C36400: return "Ceph";
    case 0x0BD00BD0: return "Lustre";
    case 0x5346414F:  // the kernel's and OpenAFS's
    case 0x6B414653: return "AFS";
    default: return std::nullopt;
    }
}

std::optional<QString> journalFileSystemRefusal(const QString& path)
{
    const QString folder = realFolderOf(path);
    struct statfs system {};
    if (::statfs(QFile::encodeName(folder).constData(), &system) != 0)
        return QStringLiteral("the file system of %1 cannot be asked whether it is local (%2); the journal needs a local disk.")
            .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
    // f_type is a signed word: CIFS's magic number is negative where it is 32 bits.
    if (const std::optional<std::string> network = networkFileSystemName(static_cast<std::uint32_t>(system.f_type)))
        return QStringLiteral("it is on a network file system (%1); SQLite's write-ahead log needs a local disk.")
            .arg(QString::fromStdString(*network));
    return std::nullopt;
}
