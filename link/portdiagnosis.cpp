#include "portdiagnosis.h"

#include "printable.h"

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

// The rule file of brltty's that names the adapter's USB id, and the
// product pattern it names it by ("1a86/7523/*"), or empty.
QPair<QString, QString> brlttyRule(const System &system, const PortIdentity &port)
{
    const QString product = QStringLiteral("ENV{PRODUCT}==\"%1/%2/")
                                .arg(port.vendorId, 0, 16)
                                .arg(port.productId, 0, 16);
    QStringList seen; // a local file hides the packaged one of its name
    for (const QString &dir : system.udevRules) {
        for (const QFileInfo &file : QDir(dir).entryInfoList({QStringLiteral("*brltty*.rules")}, QDir::Files)) {
            if (seen.contains(file.fileName()))
                continue;
            seen += file.fileName();
            QFile rules(file.absoluteFilePath());
            if (!rules.open(QIODevice::ReadOnly))
                continue;
            const QString text = QString::fromLocal8Bit(rules.readAll()).toLower();
            const qsizetype at = text.indexOf(product.toLower());
            if (at >= 0)
                return {file.absoluteFilePath(),
                        text.mid(at + 15).section(QLatin1Char('"'), 0, 0)};
        }
    }
    return {};
}

// brltty takes the USB adapters its rules name for braille displays; a
// person may need it for one, so the way out that keeps it comes first.
QString brltty(const System &system, const QString &path, const PortIdentity &port)
{
    if (!running(system, QStringLiteral("brltty")))
        return QString();
    if (path.isEmpty())
        return QStringLiteral("brltty (a braille display service) is running and takes the USB "
                              "serial adapters its rules name (CH340, CP210x and others) for "
                              "itself: if your adapter's port vanishes when it is plugged in, run "
                              "this check with --port once it is there, or, if no braille display "
                              "is used here, sudo apt remove brltty");
    if (!port.usb)
        return QString();
    const auto [file, pattern] = brlttyRule(system, port);
    if (file.isEmpty())
        return QString();
    const QString local = QStringLiteral("/etc/udev/rules.d/") + QFileInfo(file).fileName();
    return QStringLiteral("brltty (a braille display service) is running and its rules in %1 take "
                          "USB adapters %2 like %3 for itself: to keep brltty for a braille "
                          "display, copy that file to %4 (unless it is that file), delete the "
                          "line with ENV{PRODUCT}==\"%5\" and run sudo udevadm control --reload; "
                          "if no braille display is used here, sudo apt remove brltty. Then plug "
                          "the adapter in again")
        .arg(file,
             QStringLiteral("%1:%2").arg(port.vendorId, 4, 16, QLatin1Char('0')).arg(port.productId, 4, 16, QLatin1Char('0')),
             printable(path), local, pattern);
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
        .arg(path.isEmpty() ? QStringLiteral("every new serial port") : printable(path));
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
            .arg(group, printable(path));
    return QStringLiteral("you may not read and write %1 (mode %2, group %3)")
        .arg(printable(path), QString::number(mode & 0777, 8), group);
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

Holder lockHolder(const QString &path, const QString &proc)
{
    struct stat node{};
    if (::stat(QFile::encodeName(path).constData(), &node) != 0)
        return Holder();
    // "1: FLOCK  ADVISORY  WRITE 1234 00:05:6 0 EOF": the file as
    // major:minor:inode of the file system it is on, in hex, hex, decimal.
    const QString file = QStringLiteral("%1:%2:%3")
                             .arg(major(node.st_dev), 2, 16, QLatin1Char('0'))
                             .arg(minor(node.st_dev), 2, 16, QLatin1Char('0'))
                             .arg(node.st_ino);
    QFile locks(proc + QStringLiteral("/locks"));
    if (locks.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : locks.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() >= 6 && fields[1] != "->" && fields[5] == file.toLatin1())
                return Holder{fields[4].toLongLong(), programName(proc, QString::fromLatin1(fields[4]))};
        }
    }
    const QList<Holder> open = holders(path, proc);
    return open.isEmpty() ? Holder() : open.constFirst();
}

// /proc/tty/drivers: "usbserial  /dev/ttyUSB  188 0-511 serial", a line a
// driver, with the major number, the range of minor numbers it has and its
// kind. Only a serial line or a pseudo-terminal's slave is a port: the
// console, /dev/tty, /dev/ptmx and the virtual terminals are the system's.
bool isSerialPort(const QString &path, const QString &proc)
{
    QFile drivers(proc + QStringLiteral("/tty/drivers"));
    struct stat node{};
    if (!drivers.open(QIODevice::ReadOnly) || ::stat(QFile::encodeName(path).constData(), &node) != 0)
        return true;
    if (!S_ISCHR(node.st_mode))
        return false;
    for (const QByteArray &line : drivers.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 5 || fields[2].toUInt() != major(node.st_rdev)
            || (fields[4] != "serial" && fields[4] != "pty:slave"))
            continue;
        const QList<QByteArray> range = fields[3].split('-');
        const uint low = range[0].toUInt();
        const uint high = range.size() > 1 ? range[1].toUInt() : low;
        if (minor(node.st_rdev) >= low && minor(node.st_rdev) <= high)
            return true;
    }
    return false;
}

QList<Finding> diagnose(const QString &path, const System &system, const PortIdentity &port)
{
    struct stat node{};
    const bool exists = !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &node) == 0;
    // Who else has /dev/null open says nothing of a port: it is none.
    if (exists && !isSerialPort(path, system.proc))
        return {{QStringLiteral("port"), QStringLiteral("%1 is not a serial port").arg(printable(path))}};
    QList<Finding> findings{{QStringLiteral("brltty"), brltty(system, path, port)}};
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
                                        .arg(describe(others), printable(path))};
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

Holder lockHolder(const QString &, const QString &)
{
    return Holder();
}

QList<Finding> diagnose(const QString &, const System &, const PortIdentity &)
{
    return {};
}

bool isSerialPort(const QString &, const QString &)
{
    return true;
}
#endif

QString describe(const QList<Holder> &holders)
{
    QStringList parts;
    for (const Holder &holder : holders)
        parts += QStringLiteral("pid %1 (%2)").arg(holder.pid).arg(printable(holder.name));
    return parts.join(QStringLiteral(", "));
}

QStringList inTheWay(const QString &path, const System &system)
{
    QStringList problems;
    for (const Finding &finding : diagnose(path, system)) {
        if (!finding.problem.isEmpty())
            problems += finding.problem;
    }
    return problems;
}

} // namespace portdiagnosis
