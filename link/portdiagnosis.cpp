#include "portdiagnosis.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#ifdef Q_OS_LINUX
#include <sys/stat.h>
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

QString programName(const QString &pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

bool holds(const QString &pid, const struct stat &device)
{
    const QString fdDir = QStringLiteral("/proc/%1/fd").arg(pid);
    const QStringList fds = QDir(fdDir).entryList(QDir::Files | QDir::System);
    for (const QString &fd : fds) {
        struct stat node{};
        const QByteArray link = QFile::encodeName(fdDir + QLatin1Char('/') + fd);
        if (::stat(link.constData(), &node) == 0 && sameNode(node, device))
            return true;
    }
    return false;
}
} // namespace

QList<Holder> holders(const QString &path)
{
    QList<Holder> found;
    struct stat device{};
    if (::stat(QFile::encodeName(path).constData(), &device) != 0)
        return found;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : pids) {
        bool number = false;
        const qint64 value = pid.toLongLong(&number);
        if (number && holds(pid, device))
            found += Holder{value, programName(pid)};
    }
    return found;
}
#else
QList<Holder> holders(const QString &)
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

} // namespace portdiagnosis
