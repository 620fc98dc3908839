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
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
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
// A socket that is closed on exec and, when asked, does not block.
int newSocket(int family, int type, bool nonBlocking)
{
    const int fd = ::socket(family, type, 0);
    if (fd >= 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        if (nonBlocking)
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    return fd;
}

// Connects to a local socket by path, or by abstract name when the path
// starts with '@'.
bool localSocketAnswers(const QByteArray &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(path.size()));
    if (path.startsWith('@'))
        address.sun_path[0] = '\0';
    else
        length += 1;
    const int fd = newSocket(AF_UNIX, SOCK_STREAM, false);
    const bool answers = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), length) == 0;
    if (fd >= 0)
        ::close(fd);
    return answers;
}

bool tcpAnswers(const QByteArray &host, int port)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, &found) != 0)
        return false;
    bool answers = false;
    for (addrinfo *a = found; a && !answers; a = a->ai_next) {
        const int fd = newSocket(a->ai_family, a->ai_socktype, true);
        if (fd < 0)
            continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            answers = true;
        } else if (errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int error = 0;
            socklen_t size = sizeof error;
            answers = ::poll(&p, 1, 2000) == 1
                      && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
        }
        ::close(fd);
    }
    ::freeaddrinfo(found);
    return answers;
}

// DISPLAY is [host]:number[.screen]; a local server listens on an abstract
// socket, a file socket, or both.
bool xServerAnswers()
{
    const QByteArray display = qgetenv("DISPLAY");
    const qsizetype colon = display.lastIndexOf(':');
    if (colon < 0)
        return false;
    const QByteArray host = display.left(colon);
    if (host.startsWith('/'))
        return true; // a launchd socket path: Qt knows it better
    bool ok = false;
    const int number = display.mid(colon + 1).split('.').value(0).toInt(&ok);
    if (!ok)
        return false;
    if (host.isEmpty() || host == "unix") {
        const QByteArray path = "/tmp/.X11-unix/X" + QByteArray::number(number);
        return localSocketAnswers('@' + path) || localSocketAnswers(path);
    }
    return tcpAnswers(host, 6000 + number);
}

bool waylandAnswers()
{
    QByteArray name = qgetenv("WAYLAND_DISPLAY");
    if (name.isEmpty())
        name = "wayland-0";
    if (!name.startsWith('/'))
        name = qgetenv("XDG_RUNTIME_DIR") + '/' + name;
    return localSocketAnswers(name);
}
#endif

// Whether the platform named (empty: Qt's own choice) can show a window.
bool displayAnswers(const QString &platform)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (platform.isEmpty())
        return xServerAnswers()
               || (qEnvironmentVariableIsSet("WAYLAND_DISPLAY") && waylandAnswers());
    if (platform == QLatin1String("xcb"))
        return xServerAnswers();
    if (platform.startsWith(QLatin1String("wayland")))
        return waylandAnswers();
#else
    Q_UNUSED(platform);
#endif
    return true;
}

QString displayName()
{
    QStringList named;
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        if (qEnvironmentVariableIsSet(variable))
            named += QStringLiteral("%1=%2").arg(QLatin1String(variable), qEnvironmentVariable(variable));
    }
    return named.isEmpty() ? QStringLiteral("DISPLAY and WAYLAND_DISPLAY are not set")
                           : named.join(QStringLiteral(", ")) + QStringLiteral(" cannot be reached");
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
    if (displayAnswers(platform))
        return -1;
    if (options.download) {
        // A scripted update needs no screen: the same run, drawn offscreen.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        dropPlatformArgument(argv);
        return -1;
    }
    std::fprintf(stderr,
                 "pelkoupdate: no display to show the window on (%s); use --file and --download "
                 "to update without a window\n",
                 qPrintable(displayName()));
    return exitNoDisplay;
}

namespace {
LineOutput *errors = nullptr;
bool quietQt = false;
bool startingWindowSystem = false;

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

void startingWindows(bool starting)
{
    startingWindowSystem = starting;
}
