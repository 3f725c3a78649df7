#include "journal/run_owner.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QSysInfo>

#include <mutex>
#include <optional>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString runLockMark = QStringLiteral(";run-lock=");

// A small file of /proc, or why it could not be read (errno).
struct Read {
    QByteArray text;
    int error = 0;
};

Read readSmallFile(const char* path)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {{}, errno};
    char buffer[4096];
    const ssize_t size = ::read(fd, buffer, sizeof buffer);
    const int error = errno;
    ::close(fd);
    if (size < 0)
        return {{}, error};
    return {QByteArray(buffer, static_cast<qsizetype>(size)), 0};
}

// Neither the boot nor the PID namespace changes while the process runs:
// kept once read, tried again while a read fails.
template <QString (*read)()>
QString readOnce()
{
    static std::mutex guard;
    static auto* known = new QString;  // never destroyed: a job's thread may start a run at exit
    const std::lock_guard lock(guard);
    if (known->isEmpty())
        *known = read();
    return *known;
}

QString readBootId()
{
    return QString::fromLatin1(readSmallFile("/proc/sys/kernel/random/boot_id").text.trimmed());
}

// "pid:[4026531836]": the number.
QString readPidNamespace()
{
    char link[64] = {};
    const ssize_t size = ::readlink("/proc/self/ns/pid", link, sizeof link - 1);
    const QByteArray text(link, size > 0 ? static_cast<qsizetype>(size) : 0);
    const qsizetype open = text.indexOf('['), close = text.indexOf(']');
    return open >= 0 && close > open ? QString::fromLatin1(text.mid(open + 1, close - open - 1)) : QString();
}

QString bootId() { return readOnce<readBootId>(); }
QString pidNamespace() { return readOnce<readPidNamespace>(); }

// Field 22 of /proc/PID/stat, counted after the command name, which may hold
// spaces and parentheses of its own.
std::optional<QString> startTimeIn(const QByteArray& stat)
{
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    constexpr int startTimeAfterName = 19;  // field 22, the name being field 2
    if (fields.size() <= startTimeAfterName || fields[startTimeAfterName].isEmpty())
        return std::nullopt;
    return QString::fromLatin1(fields[startTimeAfterName]);
}

QString startTime(qint64 pid)
{
    return startTimeIn(readSmallFile(QByteArray("/proc/" + QByteArray::number(pid) + "/stat").constData()).text)
        .value_or(QString());
}

// Whether the process pid of this PID namespace that started at started
// still runs. A process of another user that /proc hides (hidepid) cannot be
// told apart from the owner, and a /proc that cannot be read now (no file
// descriptor left) tells nothing: both are taken as alive, rather than have
// a run and its claims taken from their owner.
bool processAlive(qint64 pid, const QString& started)
{
    const Read stat = readSmallFile(QByteArray("/proc/" + QByteArray::number(pid) + "/stat").constData());
    if (stat.error == 0) {
        const std::optional<QString> now = startTimeIn(stat.text);
        return !now || *now == started;
    }
    if (stat.error != ENOENT && stat.error != ESRCH)
        return true;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

}  // namespace

std::string currentRunOwner(bool holdsRunLock)
{
    // The process's start time is read once per process (every run's start
    // asks, and /proc is slow to read), the host name each time (an
    // administrator may rename the station). A child forked without exec has
    // a process id of its own; a failed read is tried again at the next run.
    struct Process {
        qint64 pid = 0;
        QString started;
    };
    static std::mutex guard;
    static auto* known = new Process;  // never destroyed: a job's thread may start a run at exit
    const qint64 pid = QCoreApplication::applicationPid();
    Process process;
    {
        const std::lock_guard lock(guard);
        if (known->pid != pid) {
            const Process read{pid, startTime(pid)};
            if (!read.started.isEmpty())
                *known = read;
            process = read;
        } else {
            process = *known;
        }
    }
    // A colon in a host name would make the owner unreadable, and so gone.
    QString host = QSysInfo::machineHostName().replace(u':', u'_');
    if (holdsRunLock)
        host += runLockMark + pidNamespace();
    return QStringLiteral("%1:%2:%3:%4").arg(host, bootId()).arg(process.pid).arg(process.started).toStdString();
}

bool runOwnerAlive(const std::string& owner, RunLockState lock)
{
    const QStringList parts = QString::fromStdString(owner).split(u':');
    if (parts.size() != 4)
        return false;
    const qsizetype mark = parts[0].lastIndexOf(runLockMark);
    const bool holdsRunLock = mark >= 0;
    if (holdsRunLock && lock != RunLockState::Unreadable)
        return lock == RunLockState::Held;
    const QString& boot = parts[1];
    bool ok = false;
    const qint64 pid = parts[2].toLongLong(&ok);
    if (boot.isEmpty() || !ok || pid <= 0 || parts[3].isEmpty())
        return holdsRunLock;
    const QString thisBoot = bootId();
    if (thisBoot.isEmpty())
        return true;
    if (boot != thisBoot)
        return false;
    // Process ids of another PID namespace name other processes here.
    if (holdsRunLock) {
        const QString space = parts[0].mid(mark + runLockMark.size());
        if (space.isEmpty() || space != pidNamespace())
            return true;
    }
    return processAlive(pid, parts[3]);
}

bool serverRunOwnerAlive(const std::string& owner)
{
    const QStringList parts = QString::fromStdString(owner).split(u':');
    const QString thisBoot = bootId();
    if (parts.size() != 4 || thisBoot.isEmpty() || parts[1] != thisBoot)
        return true;
    return runOwnerAlive(owner, RunLockState::Unreadable);
}
