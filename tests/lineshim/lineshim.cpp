// An LD_PRELOAD shim that makes a healthy serial line look troubled, the way
// drivers do: every Nth read of the port returns 0 with a stale errno (a
// wake-up with nothing to read), every Mth write is refused with EAGAIN (the
// driver's buffer is full). No byte is lost or changed. Linux only.
//
//   LINESHIM_PORT=/dev/pts/3   the port's device node
//   LINESHIM_READ_EVERY=N      0 or unset: reads are left alone
//   LINESHIM_WRITE_EVERY=M     0 or unset: writes are left alone

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using ReadFn = ssize_t (*)(int, void *, size_t);
using WriteFn = ssize_t (*)(int, const void *, size_t);

struct Shim
{
    ReadFn realRead = reinterpret_cast<ReadFn>(dlsym(RTLD_NEXT, "read"));
    WriteFn realWrite = reinterpret_cast<WriteFn>(dlsym(RTLD_NEXT, "write"));
    dev_t port = 0;
    bool active = false;
    long readEvery = number("LINESHIM_READ_EVERY");
    long writeEvery = number("LINESHIM_WRITE_EVERY");
    std::atomic<long> reads{0};
    std::atomic<long> writes{0};

    Shim()
    {
        struct stat st
        {
        };
        const char *path = std::getenv("LINESHIM_PORT");
        if (path && ::stat(path, &st) == 0 && S_ISCHR(st.st_mode)) {
            port = st.st_rdev;
            active = true;
        }
    }
    static long number(const char *name)
    {
        const char *text = std::getenv(name);
        return text ? std::strtol(text, nullptr, 10) : 0;
    }
    bool isPort(int fd) const
    {
        struct stat st
        {
        };
        const int saved = errno;
        const bool yes =
            active && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == port;
        errno = saved;
        return yes;
    }
};

Shim &shim()
{
    static Shim instance;
    return instance;
}

constexpr int staleErrnos[] = {ENOTTY, EAGAIN, EIO, EBADF};

} // namespace

extern "C" ssize_t read(int fd, void *buffer, size_t count)
{
    Shim &s = shim();
    if (s.readEvery > 0 && s.isPort(fd)) {
        const long n = ++s.reads;
        if (n % s.readEvery == 0) {
            errno = staleErrnos[(n / s.readEvery) % 4];
            return 0;
        }
    }
    return s.realRead(fd, buffer, count);
}

extern "C" ssize_t write(int fd, const void *buffer, size_t count)
{
    Shim &s = shim();
    if (s.writeEvery > 0 && s.isPort(fd)) {
        const long n = ++s.writes;
        if (n % s.writeEvery == 0) {
            errno = EAGAIN;
            return -1;
        }
    }
    return s.realWrite(fd, buffer, count);
}
