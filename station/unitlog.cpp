#include "unitlog.h"

#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/vfs.h>
#endif

QString UnitLog::failed(const QString &reason) const
{
    return QStringLiteral("cannot write the log %1: %2").arg(path, reason);
}

#ifdef Q_OS_UNIX
namespace {
QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Non-blocking, so a FIFO without a reader fails at once instead of
// waiting for one; read too, where allowed, to see the last byte.
int openForAppending(const QByteArray &path)
{
    constexpr int flags = O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const int fd = ::open(path.constData(), O_RDWR | flags, 0644);
    return fd >= 0 || errno != EACCES ? fd : ::open(path.constData(), O_WRONLY | flags, 0644);
}

// A file of /proc, /sys and the like.
bool kernelsOwn(int fd)
{
#ifdef Q_OS_LINUX
    struct statfs where{};
    if (::fstatfs(fd, &where) != 0)
        return false;
    constexpr long proc = 0x9fa0, sys = 0x62656572, debug = 0x64626720, security = 0x73636673,
                   cgroup = 0x27e0eb, cgroup2 = 0x63677270;
    for (const long kind : {proc, sys, debug, security, cgroup, cgroup2}) {
        if (long(where.f_type) == kind)
            return true;
    }
#else
    Q_UNUSED(fd);
#endif
    return false;
}

bool endsWithoutNewline(int fd, off_t size)
{
    char last = '\n';
    return size > 0 && ::pread(fd, &last, 1, size - 1) == 1 && last != '\n';
}
} // namespace

bool UnitLog::open(const QString &path, QString *error)
{
    this->path = path;
    file.setFileName(path);
    const QByteArray name = QFile::encodeName(path);
    struct stat node{};
    if (::stat(name.constData(), &node) == 0 && !S_ISREG(node.st_mode)) {
        *error = QStringLiteral("the log %1 is not a regular file").arg(path);
        return false;
    }
    const int fd = openForAppending(name);
    if (fd < 0) {
        *error = QStringLiteral("cannot open the log %1: %2").arg(path, systemError());
        return false;
    }
    // It may have been swapped for something else between the two looks.
    // The kernel's own files look regular, and a record written to one
    // would set what it stands for (a host name, a limit) as root.
    const bool kernels = kernelsOwn(fd);
    if (::fstat(fd, &node) != 0 || !S_ISREG(node.st_mode) || kernels) {
        ::close(fd);
        *error = kernels ? QStringLiteral("the log %1 is a file of the kernel's (as in /proc or /sys), "
                                          "not a regular file").arg(path)
                         : QStringLiteral("the log %1 is not a regular file").arg(path);
        return false;
    }
    if (::lseek(fd, 0, SEEK_END) < 0) {
        *error = QStringLiteral("cannot open the log %1: %2").arg(path, systemError());
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (endsWithoutNewline(fd, node.st_size) && ::write(fd, "\n", 1) != 1) {
        *error = failed(systemError());
        ::close(fd);
        return false;
    }
    if (file.open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                  QFileDevice::AutoCloseHandle))
        return true;
    // A file that cannot be appended to (one of /proc's) is no log either.
    *error = QStringLiteral("cannot open the log %1: %2").arg(path, file.errorString());
    ::close(fd);
    return false;
}

bool UnitLog::append(const QByteArray &line, QString *error)
{
    const QByteArray whole = line + '\n';
    const int fd = file.handle();
    struct stat before{};
    const bool sized = ::fstat(fd, &before) == 0;
    for (qsizetype done = 0; done < whole.size();) {
        const ssize_t n = ::write(fd, whole.constData() + done, size_t(whole.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = failed(n < 0 ? systemError() : QStringLiteral("the line was cut short"));
            // A line cut short by a full disk or a file-size limit would
            // stay as the log's last line, torn: it goes, and the reason
            // is said.
            if (sized && done > 0)
                [[maybe_unused]] const int cut = ::ftruncate(fd, before.st_size);
            return false;
        }
        done += n;
    }
    if (::fsync(fd) != 0 && errno != EINVAL) {
        *error = failed(systemError());
        return false;
    }
    return true;
}
#else
bool UnitLog::open(const QString &path, QString *error)
{
    this->path = path;
    file.setFileName(path);
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        *error = QStringLiteral("the log %1 is not a regular file").arg(path);
        return false;
    }
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append)) {
        *error = QStringLiteral("cannot open the log %1: %2").arg(path, file.errorString());
        return false;
    }
    if (file.size() > 0 && file.seek(file.size() - 1) && file.peek(1) != "\n")
        file.write("\n");
    return true;
}

bool UnitLog::append(const QByteArray &line, QString *error)
{
    const QByteArray whole = line + '\n';
    if (file.write(whole) != whole.size() || !file.flush()) {
        *error = failed(file.errorString());
        return false;
    }
    return true;
}
#endif
