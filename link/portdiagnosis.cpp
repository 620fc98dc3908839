#include "portdiagnosis.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace portdiagnosis {

#ifdef Q_OS_LINUX
namespace {
// The same device whatever the name: a character device by its number,
// anything else (a test's file) by its inode.
bool sameNode(const struct stat &a, const struct stat &b)
{
    if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode))
        return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

QString programName(const QString &proc, const QString &pid)
{
    QFile comm(QStringLiteral("%1/%2/comm").arg(proc, pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

QStringList processIds(const QString &proc)
{
    QStringList pids;
    for (const QString &entry : QDir(proc).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        entry.toLongLong(&number);
        if (number)
            pids += entry;
    }
    return pids;
}

bool holds(const QString &fdDir, const struct stat &device)
{
    for (const QString &fd : QDir(fdDir).entryList(QDir::Files | QDir::System)) {
        struct stat node{};
        const QByteArray link = QFile::encodeName(fdDir + QLatin1Char('/') + fd);
        if (::stat(link.constData(), &node) == 0 && sameNode(node, device))
            return true;
    }
    return false;
}

bool running(const System &system, const QString &program)
{
    const QStringList pids = processIds(system.proc);
    return std::any_of(pids.begin(), pids.end(), [&](const QString &pid) {
        return programName(system.proc, pid) == program;
    });
}

QString brltty(const System &system)
{
    if (!running(system, QStringLiteral("brltty")))
        return QString();
    return QStringLiteral("brltty (a braille display service) is running and takes USB serial "
                          "adapters (CH340, CP210x, FTDI) for itself: sudo apt remove brltty, "
                          "then plug the adapter in again");
}

// ModemManager sends AT commands to every new serial port that udev has
// not marked ID_MM_DEVICE_IGNORE.
QString modemManager(const QString &path, const struct stat &node, const System &system)
{
    if (!running(system, QStringLiteral("ModemManager")))
        return QString();
    if (S_ISCHR(node.st_mode)) {
        QFile record(QStringLiteral("%1/c%2:%3")
                         .arg(system.udevData)
                         .arg(major(node.st_rdev))
                         .arg(minor(node.st_rdev)));
        if (record.open(QIODevice::ReadOnly) && record.readAll().contains("E:ID_MM_DEVICE_IGNORE=1"))
            return QString();
    }
    return QStringLiteral("ModemManager is running and may send modem commands to %1: sudo "
                          "systemctl stop ModemManager, or mark the adapter "
                          "ENV{ID_MM_DEVICE_IGNORE}=\"1\" in a udev rule")
        .arg(path);
}

QString access(const QString &path, const struct stat &node, const System &system)
{
    const mode_t mode = node.st_mode;
    const bool inGroup = system.groups.contains(uint(node.st_gid));
    const bool ok = system.uid == 0
                    || (system.uid == node.st_uid ? (mode & 0600) == 0600
                        : inGroup                 ? (mode & 060) == 060
                                                  : (mode & 06) == 06);
    if (ok)
        return QString();
    const group *owner = ::getgrgid(node.st_gid);
    const QString group = owner ? QString::fromLocal8Bit(owner->gr_name) : QString::number(node.st_gid);
    if ((mode & 060) == 060 && !inGroup && system.uid != node.st_uid)
        return QStringLiteral("you are not in the group %1 that may use %2: sudo adduser $USER %1, "
                              "then log out and in again")
            .arg(group, path);
    return QStringLiteral("you may not read and write %1 (mode %2, group %3)")
        .arg(path, QString::number(mode & 0777, 8), group);
}
} // namespace

System System::current()
{
    System system;
    system.uid = ::getuid();
    system.self = ::getpid();
    gid_t groups[256];
    const int count = ::getgroups(256, groups);
    for (int i = 0; i < count; ++i)
        system.groups += uint(groups[i]);
    system.groups += uint(::getegid());
    return system;
}

QList<Holder> holders(const QString &path, const QString &proc)
{
    QList<Holder> found;
    struct stat device{};
    if (::stat(QFile::encodeName(path).constData(), &device) != 0)
        return found;
    for (const QString &pid : processIds(proc)) {
        if (holds(QStringLiteral("%1/%2/fd").arg(proc, pid), device))
            found += Holder{pid.toLongLong(), programName(proc, pid)};
    }
    return found;
}

QList<Finding> diagnose(const QString &path, const System &system)
{
    QList<Finding> findings{{QStringLiteral("brltty"), brltty(system)}};
    struct stat node{};
    const bool exists = !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &node) == 0;
    if (path.isEmpty() || exists)
        findings += {QStringLiteral("ModemManager"), modemManager(path, node, system)};
    if (!exists)
        return findings;
    findings += {QStringLiteral("access"), access(path, node, system)};
    QList<Holder> others = holders(path, system.proc);
    others.removeIf([&](const Holder &holder) { return holder.pid == system.self; });
    findings += {QStringLiteral("holders"),
                 others.isEmpty() ? QString()
                                  : QStringLiteral("%1 has %2 open: close it first")
                                        .arg(describe(others), path)};
    return findings;
}
#else
System System::current()
{
    return System();
}

QList<Holder> holders(const QString &, const QString &)
{
    return {};
}

QList<Finding> diagnose(const QString &, const System &)
{
    return {};
}
#endif

QString describe(const QList<Holder> &holders)
{
    QStringList parts;
    for (const Holder &holder : holders)
        parts += QStringLiteral("pid %1 (%2)").arg(holder.pid).arg(holder.name);
    return parts.join(QStringLiteral(", "));
}

QString inTheWay(const QString &path, const System &system)
{
    QStringList problems;
    for (const Finding &finding : diagnose(path, system)) {
        if (!finding.problem.isEmpty())
            problems += finding.problem;
    }
    return problems.join(QLatin1Char('\n'));
}

} // namespace portdiagnosis
