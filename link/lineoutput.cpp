#include "lineoutput.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <io.h>
#endif

namespace {
// Pipes take a write of up to this many bytes whole or not at all.
constexpr qint64 atomicWrite = 4096;
} // namespace

// A pipe or terminal is shared with the shell and other programs: setting it
// non-blocking would change it for them too. A descriptor of our own, opened
// anew on the same pipe or terminal, can be non-blocking alone. A socket
// (the journal's) is written with a per-call flag; a regular file never
// stalls and is written as it is.
LineOutput::LineOutput(int fd, qsizetype bound) : fd(fd), bound(bound)
{
#ifdef Q_OS_UNIX
    struct stat node{};
    if (::fstat(fd, &node) != 0) {
        gone = true;
        return;
    }
    socket = S_ISSOCK(node.st_mode);
    regular = S_ISREG(node.st_mode);
    if (S_ISFIFO(node.st_mode) || S_ISCHR(node.st_mode)) {
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
        const int own = ::open(self.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (own >= 0) {
            this->fd = own;
            ownFd = true;
        } else {
            pollFirst = true; // no /proc: ask before each write, a pipe's worth at most
        }
    }
#endif
}

LineOutput::~LineOutput()
{
    writable.reset();
#ifdef Q_OS_UNIX
    if (ownFd)
        ::close(fd);
#endif
}

void LineOutput::line(const QByteArray &text)
{
    lines(text + '\n');
}

void LineOutput::lines(const QByteArray &text)
{
    if (gone || queue.size() + text.size() > bound) {
        dropped += std::max<qsizetype>(1, text.count('\n'));
        return;
    }
    queue += text;
    push();
}

void LineOutput::closingLine(const QByteArray &text)
{
    queue += text + '\n';
    push();
}

// -1 when the reader cannot take more now, -2 when it is gone.
qint64 LineOutput::writeSome(const char *data, qint64 size)
{
#ifdef Q_OS_UNIX
    const int savedErrno = errno;
    pollfd p{fd, POLLOUT, 0};
    if (pollFirst && (::poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT)))
        return (p.revents & (POLLERR | POLLHUP | POLLNVAL)) ? -2 : -1;
    qint64 n;
    do {
#ifdef MSG_NOSIGNAL
        constexpr int flags = MSG_DONTWAIT | MSG_NOSIGNAL;
#else
        constexpr int flags = MSG_DONTWAIT; // SIGPIPE is ignored where this is missing
#endif
        n = socket ? ::send(fd, data, size_t(size), flags) : ::write(fd, data, size_t(size));
    } while (n < 0 && errno == EINTR);
    const bool later = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    errno = savedErrno;
    return n >= 0 ? n : later ? -1 : -2;
#else
    const int n = ::_write(fd, data, unsigned(size));
    return n >= 0 ? n : -2;
#endif
}

void LineOutput::push()
{
    while (!queue.isEmpty() && !gone) {
        // Whole lines of at most a pipe's atomic size, or one longer line.
        qint64 size = std::min<qint64>(queue.size(), atomicWrite);
        if (size < queue.size()) {
            const qsizetype newline = queue.lastIndexOf('\n', size - 1);
            size = newline >= 0 ? newline + 1 : queue.indexOf('\n') + 1;
            if (size <= 0)
                size = queue.size();
        }
        const qint64 n = writeSome(queue.constData(), size);
        if (n == -2) {
            // The reader is gone (or the file full): what waits will never
            // be read, nor the part of a line already out.
            dropped += queue.count('\n');
            queue.clear();
            gone = true;
            takeBackTornLine();
        } else if (n < 0) {
            break;
        } else {
            const qsizetype lastNewline = QByteArrayView(queue.constData(), n).lastIndexOf('\n');
            torn = lastNewline < 0 ? torn + n : n - lastNewline - 1;
            queue.remove(0, n);
        }
    }
#ifdef Q_OS_UNIX
    if (!writable && !queue.isEmpty() && !gone) {
        writable = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
        connect(writable.get(), &QSocketNotifier::activated, this, &LineOutput::push);
    }
    if (writable)
        writable->setEnabled(!queue.isEmpty() && !gone);
#endif
}

// A file that filled up (a size limit, a full disk) would keep the start
// of a line with no end: it is taken back, when the file ends with it.
void LineOutput::takeBackTornLine()
{
#ifdef Q_OS_UNIX
    struct stat node{};
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (regular && torn > 0 && at >= torn && ::fstat(fd, &node) == 0 && node.st_size == at)
        [[maybe_unused]] const int cut = ::ftruncate(fd, at - torn);
#endif
    torn = 0;
}

void LineOutput::drain(int ms)
{
#ifdef Q_OS_UNIX
    for (int left = ms; !queue.isEmpty() && !gone && left > 0; left -= 10) {
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 10);
        push();
    }
#else
    Q_UNUSED(ms);
    push();
#endif
}
