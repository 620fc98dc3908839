#include "terminal.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

bool Terminal::open()
{
    char path[256] = {};
    if (::openpty(&master, &slave, path, nullptr, nullptr) != 0) {
        std::perror("mwire-sim: openpty");
        return false;
    }
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    name = path;
    if (link.empty())
        return true;
    // A new link beside the old one, then renamed over it: the name is never
    // missing while the terminal is there.
    const std::string fresh = link + ".new";
    ::unlink(fresh.c_str());
    if (::symlink(name.c_str(), fresh.c_str()) != 0 || ::rename(fresh.c_str(), link.c_str()) != 0) {
        std::perror(("mwire-sim: symlink " + link).c_str());
        return false;
    }
    return true;
}

void Terminal::close()
{
    if (master < 0)
        return;
    if (!link.empty())
        ::unlink(link.c_str());
    ::close(master);
    ::close(slave);
    master = slave = -1;
}

bool Terminal::writeAll(const Bytes &bytes)
{
    size_t done = 0;
    while (done < bytes.size() && master >= 0) {
        const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
        } else if (errno == EAGAIN || errno == EINTR) {
            pollfd p{master, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            return false;
        }
    }
    return done == bytes.size();
}

void Terminal::waitUntilRead() const
{
    using Clock = std::chrono::steady_clock;
    const auto pending = [this] {
        int count = 0;
        return slave >= 0 && ::ioctl(slave, FIONREAD, &count) == 0 ? count : 0;
    };
    const auto arrived = Clock::now() + std::chrono::milliseconds(100);
    while (pending() == 0 && Clock::now() < arrived)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const auto taken = Clock::now() + std::chrono::seconds(2);
    while (pending() > 0 && Clock::now() < taken)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
