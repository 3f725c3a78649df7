#include "journal/run_owner.h"

#include <QCoreApplication>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QSysInfo>

#include <mutex>

#include <cerrno>
#include <csignal>

namespace {

QByteArray readSmallFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(4096);
}

QString bootId()
{
    return QString::fromLatin1(readSmallFile(QStringLiteral("/proc/sys/kernel/random/boot_id")).trimmed());
}

// Field 22 of /proc/PID/stat, counted after the command name, which may hold
// spaces and parentheses of its own.
QString startTime(qint64 pid)
{
    const QByteArray stat = readSmallFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return {};
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    constexpr int startTimeAfterName = 19;  // field 22, the name being field 2
    return fields.size() > startTimeAfterName ? QString::fromLatin1(fields[startTimeAfterName]) : QString();
}

std::string ownerText(qint64 pid, const QString& boot, const QString& started)
{
    return QStringLiteral("%1:%2:%3:%4").arg(QSysInfo::machineHostName(), boot).arg(pid).arg(started).toStdString();
}

}  // namespace

std::string currentRunOwner()
{
    // The boot and the process's start time are read once per process (every
    // run's start asks, and /proc is slow to read), the host name each time
    // (an administrator may rename the station). A child forked without exec has a
    // process id of its own; a failed read is tried again at the next run.
    struct Process {
        qint64 pid = 0;
        QString boot;
        QString started;
    };
    static std::mutex guard;
    static auto* known = new Process;  // never destroyed: a job's thread may start a run at exit
    const qint64 pid = QCoreApplication::applicationPid();
    Process process;
    {
        const std::lock_guard lock(guard);
        if (known->pid != pid) {
            const Process read{pid, bootId(), startTime(pid)};
            if (!read.boot.isEmpty() && !read.started.isEmpty())
                *known = read;
            process = read;
        } else {
            process = *known;
        }
    }
    return ownerText(process.pid, process.boot, process.started);
}

bool runOwnerAlive(const std::string& owner)
{
    const QStringList parts = QString::fromStdString(owner).split(u':');
    if (parts.size() != 4)
        return false;
    const QString& boot = parts[1];
    if (boot.isEmpty() || boot != bootId())
        return false;
    bool ok = false;
    const qint64 pid = parts[2].toLongLong(&ok);
    if (!ok || pid <= 0 || parts[3].isEmpty())
        return false;
    const QString started = startTime(pid);
    // A process of another user that /proc hides (hidepid) cannot be told
    // apart from the owner: it is taken as alive, rather than have its run
    // and its claims taken from it.
    if (started.isEmpty())
        return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == EPERM;
    return started == parts[3];
}
