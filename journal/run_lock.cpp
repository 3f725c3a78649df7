#include "journal/run_lock.h"

#include <QFile>
#include <QFileInfo>

#include <map>
#include <mutex>
#include <utility>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct flock byteOf(std::int64_t run, short type)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(run);
    lock.l_len = 1;
    return lock;  // l_pid stays 0, as open file description locks require
}

// Opened for writing (a write lock needs it); a file this process creates
// gets the journal's mode and, for root, its owner, as SQLite's own
// write-ahead log does.
int openForLocking(const QString& journal)
{
    const QByteArray file = QFile::encodeName(runLockFile(journal));
    for (;;) {
        int fd = ::open(file.constData(), O_RDWR | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        struct stat journalFile {};
        if (::stat(QFile::encodeName(journal).constData(), &journalFile) != 0)
            return -1;
        fd = ::open(file.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, journalFile.st_mode & 0777);
        if (fd < 0 && errno == EEXIST)
            continue;  // another process created it meanwhile
        if (fd >= 0) {
            static_cast<void>(::fchmod(fd, journalFile.st_mode & 0777));  // past the umask
            if (::geteuid() == 0)
                static_cast<void>(::fchown(fd, journalFile.st_uid, journalFile.st_gid));
        }
        return fd;
    }
}

using Key = std::pair<QString, std::int64_t>;  // the lock file, the run

std::mutex guard;
// Never destroyed: a job's thread may end a run at exit.
auto* const held = new std::map<Key, int>;

}  // namespace

QString runLockFile(const QString& journal)
{
    // Beside the file itself, as SQLite's log is: programs that reach the
    // journal by other links lock runs in one file.
    const QFileInfo file(journal);
    const QString real = file.canonicalFilePath();
    return (real.isEmpty() ? file.absoluteFilePath() : real) + QStringLiteral(".owners");
}

bool takeRunLock(const QString& journal, std::int64_t run)
{
    const int fd = openForLocking(journal);
    if (fd < 0)
        return false;
    struct flock lock = byteOf(run, F_WRLCK);
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        ::close(fd);
        return false;
    }
    const std::lock_guard locked(guard);
    const auto [kept, added] = held->try_emplace(Key{runLockFile(journal), run}, fd);
    if (!added) {
        ::close(kept->second);  // a run of a journal since replaced at the same path
        kept->second = fd;
    }
    return true;
}

void releaseRunLock(const QString& journal, std::int64_t run)
{
    const std::lock_guard locked(guard);
    const auto found = held->find(Key{runLockFile(journal), run});
    if (found == held->end())
        return;
    ::close(found->second);  // lets the lock go
    held->erase(found);
}

RunLockState runLockState(const QString& journal, std::int64_t run)
{
    // A description of its own: this process's locks are held through others.
    const int fd = ::open(QFile::encodeName(runLockFile(journal)).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return RunLockState::Unreadable;
    struct flock lock = byteOf(run, F_WRLCK);
    const int asked = ::fcntl(fd, F_OFD_GETLK, &lock);
    ::close(fd);
    if (asked != 0)
        return RunLockState::Unreadable;
    return lock.l_type == F_UNLCK ? RunLockState::Free : RunLockState::Held;
}
