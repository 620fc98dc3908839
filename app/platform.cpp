#include "platform.h"

#include "lineoutput.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QPluginLoader>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef Q_OS_UNIX
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

void ensureStandardStreams()
{
#ifdef Q_OS_UNIX
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
#endif
}

namespace {
// The names Qt's platform plugins answer to, read from their metadata
// without loading them.
QStringList platformNames()
{
    QStringList dirs{QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms")};
    for (const QString &dir : qEnvironmentVariable("QT_PLUGIN_PATH").split(QDir::listSeparator(), Qt::SkipEmptyParts))
        dirs += dir + QStringLiteral("/platforms");
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM_PLUGIN_PATH"))
        dirs += qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH");
    QStringList names;
    for (const QString &dir : std::as_const(dirs)) {
        for (const QFileInfo &file : QDir(dir).entryInfoList(QDir::Files)) {
            const QJsonObject meta =
                QPluginLoader(file.absoluteFilePath()).metaData().value(QLatin1String("MetaData")).toObject();
            for (const QJsonValue &key : meta.value(QLatin1String("Keys")).toArray())
                names += key.toString().toLower();
        }
    }
    names.removeDuplicates();
    return names;
}

#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
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

// Why the platform named (empty: Qt's own choice) cannot show a window;
// empty when it can, with the platform that can in working.
QString displayProblem(const QString &platform, QString *working)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (platform.isEmpty()) {
        const QString x = xServerProblem();
        if (x.isEmpty()) {
            *working = QStringLiteral("xcb");
            return x;
        }
        const QString wayland = waylandProblem();
        if (wayland.isEmpty())
            *working = QStringLiteral("wayland");
        return wayland.isEmpty() ? wayland : x + QStringLiteral("; ") + wayland;
    }
    *working = platform;
    if (platform == QLatin1String("xcb"))
        return xServerProblem();
    if (platform.startsWith(QLatin1String("wayland")))
        return waylandProblem();
#else
    *working = platform;
#endif
    return QString();
}

QString displayName()
{
    QStringList named;
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        if (qEnvironmentVariableIsSet(variable))
            named += QStringLiteral("%1=%2").arg(QLatin1String(variable), qEnvironmentVariable(variable));
    }
    return named.isEmpty() ? QStringLiteral("DISPLAY and WAYLAND_DISPLAY are not set")
                           : named.join(QStringLiteral(", "));
}

void dropPlatformArgument(std::vector<char *> &argv)
{
    std::vector<char *> kept;
    for (size_t i = 0; i < argv.size(); ++i) {
        if (argv[i] && (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0))
            ++i;
        else
            kept.push_back(argv[i]);
    }
    argv = kept;
}
} // namespace

int choosePlatform(const Options &options, std::vector<char *> &argv)
{
    const QString asked =
        options.platform.isEmpty() ? qEnvironmentVariable("QT_QPA_PLATFORM") : options.platform;
    QString platform; // the first one asked for that exists
    if (!asked.isEmpty()) {
        const QStringList names = platformNames();
        for (const QString &entry : asked.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QString name = entry.section(QLatin1Char(':'), 0, 0).toLower();
            if (names.isEmpty() || names.contains(name)) {
                platform = name;
                break;
            }
        }
        if (platform.isEmpty()) {
            std::fprintf(stderr, "pelkoupdate: there is no platform '%s' (there are: %s)\n",
                         qPrintable(asked), qPrintable(names.join(QStringLiteral(", "))));
            return exitUsage;
        }
    }
    QString working;
    const QString problem = displayProblem(platform, &working);
    if (problem.isEmpty() && options.download && !working.isEmpty()) {
        // Whatever else may stop the window system from starting, a script
        // never ends for want of a screen: Qt falls back to drawing offscreen.
        const QString first = asked.isEmpty() ? working : asked;
        qputenv("QT_QPA_PLATFORM", (first + QStringLiteral(";offscreen")).toLocal8Bit());
        dropPlatformArgument(argv);
    }
    if (problem.isEmpty())
        return -1;
    if (options.download) {
        // A scripted update needs no screen: the same run, drawn offscreen.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        dropPlatformArgument(argv);
        return -1;
    }
    std::fprintf(stderr,
                 "pelkoupdate: no display to show the window on (%s: %s); use --file and "
                 "--download to update without a window\n",
                 qPrintable(displayName()), qPrintable(problem));
    return exitNoDisplay;
}

namespace {
LineOutput *errors = nullptr;
bool quietQt = false;
bool startingWindowSystem = false;
std::function<void()> displayLost;

// What Qt's xcb and Wayland plugins say just before they exit(1).
bool saysDisplayLost(const QString &message)
{
    return message.contains(QLatin1String("connection broke"))
           || message.contains(QLatin1String("connection experienced a fatal error"));
}

// Qt's notes go through the same queue as the program's lines, so a stuck
// reader cannot block on them either; a script reads the program's own lines
// only. A window system that fails to start ends the program with a reason,
// never with an abort.
void handleQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "pelkoupdate: %s\n", qPrintable(message));
        std::_Exit(startingWindowSystem ? exitNoDisplay : EXIT_FAILURE);
    }
    if (displayLost && !startingWindowSystem && saysDisplayLost(message))
        displayLost();
    if (quietQt || !errors)
        return;
    errors->line(qFormatLogMessage(type, context, message).toLocal8Bit());
}
} // namespace

void routeQtMessages(LineOutput *errors_, bool quiet)
{
    errors = errors_;
    quietQt = quiet;
    qInstallMessageHandler(handleQtMessage);
}

void onDisplayLost(std::function<void()> stop)
{
    displayLost = std::move(stop);
}

void startingWindows(bool starting)
{
    startingWindowSystem = starting;
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (!starting)
        releaseProbe();
#endif
}
