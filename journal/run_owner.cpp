#include "journal/run_owner.h"

#include <QCoreApplication>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QSysInfo>

#include <mutex>
#include <optional>

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

}  // namespace

std::string currentRunOwner()
{
    // Read once per process: every run's start asks, and /proc is slow to read.
    // A child forked without exec has a process id of its own, so it reads again.
    struct Owner {
        qint64 pid;
        std::string text;
    };
    static std::mutex guard;
    static std::optional<Owner> known;
    const qint64 pid = QCoreApplication::applicationPid();
    const std::lock_guard lock(guard);
    if (!known || known->pid != pid) {
        known = Owner{pid, QStringLiteral("%1:%2:%3:%4")
                               .arg(QSysInfo::machineHostName(), bootId())
                               .arg(pid)
                               .arg(startTime(pid))
                               .toStdString()};
    }
    return known->text;
}

bool runOwnerAlive(const std::string& owner)
{
    const QStringList parts = QString::fromStdString(owner).split(u':');
    if (parts.size() != 4)
        return false;
    // Another station's processes cannot be seen from here.
    if (parts[0] != QSysInfo::machineHostName())
        return true;
    if (parts[1] != bootId())
        return false;
    bool ok = false;
    const qint64 pid = parts[2].toLongLong(&ok);
    return ok && !parts[3].isEmpty() && startTime(pid) == parts[3];
}
