#include "platform.h"

#include "displayprobe.h"
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
