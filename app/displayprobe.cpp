#include "displayprobe.h"

#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
#include <cerrno>

#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
constexpr int probeMs = 2000;

// A connection to the window system, made as Qt would make it: the server
// may refuse us (no cookie: sudo, cron, another user's display), close the
// connection, or accept and never answer. The libraries are the ones Qt's
// own plugins use, looked up here so the program needs them only where
// they are.
struct Probe
{
    const char *library;
    const char *what;
    void *handle = nullptr;
    bool (*connects)(void *handle) = nullptr;
};

// A server refuses connections while it resets itself, which it does when
// its last client leaves (another program's xset at login, a kiosk script):
// a refusal is tried again while the probe's time lasts.
constexpr int retryForMs = 1500;
constexpr int retryEveryMs = 50;

bool xcbConnects(void *handle)
{
    using Connect = void *(*)(const char *, int *);
    using HasError = int (*)(void *);
    using Disconnect = void (*)(void *);
    const auto connect = reinterpret_cast<Connect>(::dlsym(handle, "xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(::dlsym(handle, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(handle, "xcb_disconnect"));
    if (!connect || !hasError || !disconnect)
        return false;
    for (int waited = 0; waited < retryForMs; waited += retryEveryMs) {
        void *connection = connect(nullptr, nullptr);
        if (hasError(connection) == 0)
            return true;
        disconnect(connection);
        ::usleep(retryEveryMs * 1000);
    }
    return false;
}

bool waylandConnects(void *handle)
{
    using Connect = void *(*)(const char *);
    using Roundtrip = int (*)(void *);
    const auto connect = reinterpret_cast<Connect>(::dlsym(handle, "wl_display_connect"));
    const auto roundtrip = reinterpret_cast<Roundtrip>(::dlsym(handle, "wl_display_roundtrip"));
    void *display = connect ? connect(nullptr) : nullptr;
    return display && roundtrip && roundtrip(display) >= 0;
}

// The child that proved the display, still connected: see tryDisplay.
pid_t heldProbe = -1;
int heldProbeRelease = -1;

void stopProbe(pid_t child)
{
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

// Tried in a child, so that a server that never answers costs the bound
// and nothing else; the reason is empty when the display can be used. A
// display that answers keeps the child's connection until Qt has made its
// own: an X server whose last client leaves resets itself, and a
// connection made during the reset is refused, which on a fresh server
// (a CI's Xvfb, a kiosk's) failed the start now and then.
QString tryDisplay(Probe probe)
{
    probe.handle = ::dlopen(probe.library, RTLD_NOW | RTLD_LOCAL);
    if (!probe.handle)
        return QStringLiteral("%1 is not installed").arg(QLatin1String(probe.library));
    int result[2];
    int release[2];
    if (::pipe(result) != 0)
        return QString(); // cannot tell: let Qt try
    if (::pipe(release) != 0) {
        ::close(result[0]);
        ::close(result[1]);
        return QString();
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(result[0]);
        ::close(release[1]);
        // The libraries' own complaints are ours to tell, in our words.
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        const char answer = probe.connects(probe.handle) ? 'y' : 'n';
        [[maybe_unused]] const ssize_t n = ::write(result[1], &answer, 1);
        // Connected until told, or until the program is gone.
        char done;
        while (::read(release[0], &done, 1) < 0 && errno == EINTR) {
        }
        ::_exit(0);
    }
    ::close(result[1]);
    ::close(release[0]);
    ::fcntl(release[1], F_SETFD, FD_CLOEXEC);
    char answer = 0;
    pollfd p{result[0], POLLIN, 0};
    const bool answered = child > 0 && ::poll(&p, 1, probeMs) == 1 && ::read(result[0], &answer, 1) == 1;
    ::close(result[0]);
    if (child > 0 && answered && answer == 'y' && heldProbe < 0) {
        heldProbe = child;
        heldProbeRelease = release[1];
    } else {
        ::close(release[1]);
        if (child > 0)
            stopProbe(child);
    }
    if (child < 0)
        return QString();
    if (!answered)
        return QStringLiteral("the %1 did not answer within %2 s").arg(QLatin1String(probe.what)).arg(probeMs / 1000);
    return answer == 'y' ? QString()
                         : QStringLiteral("the %1 could not be reached, or refused or closed the connection").arg(QLatin1String(probe.what));
}

} // namespace

void releaseProbe()
{
    if (heldProbe < 0)
        return;
    ::close(heldProbeRelease);
    ::waitpid(heldProbe, nullptr, 0);
    heldProbe = heldProbeRelease = -1;
}

QString xServerProblem()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return QStringLiteral("DISPLAY is not set");
    return tryDisplay({"libxcb.so.1", "X server", nullptr, xcbConnects});
}

QString waylandProblem()
{
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return QStringLiteral("WAYLAND_DISPLAY is not set");
    return tryDisplay({"libwayland-client.so.0", "Wayland compositor", nullptr, waylandConnects});
}
#endif
