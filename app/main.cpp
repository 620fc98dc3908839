#include "driver.h"
#include "lineoutput.h"
#include "options.h"
#include "platform.h"
#include "portchoice.h"
#include "signalcatcher.h"

#include <QApplication>

#include <csignal>
#include <vector>

int main(int argc, char **argv)
{
    ensureStandardStreams();
#ifdef Q_OS_UNIX
    // A reader that went away costs its lines, never the update; a file
    // grown to its size limit (ulimit -f, LimitFSIZE) fails the write that
    // crosses it, which is said, rather than kill every bay with SIGXFSZ.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    // Started with & from a shell, a station goes on when someone types in
    // its terminal or it writes there (TOSTOP): it reads the terminal only
    // while it is in the foreground, and is never stopped for it.
    std::signal(SIGTTIN, SIG_IGN);
    std::signal(SIGTTOU, SIG_IGN);
#endif
    const CommandLine command = parseCommandLine(argc, argv);
    if (command.exitCode >= 0)
        return command.exitCode;
    Options options = command.options;
    if (options.records) {
        QCoreApplication core(argc, argv);
        return reportRecords(options);
    }
    if (const int exitCode = portchoice::fromCommandLine(options); exitCode >= 0)
        return exitCode;
    std::vector<char *> arguments(argv, argv + argc);
    if (const int exitCode = choosePlatform(options, arguments); exitCode >= 0)
        return exitCode;
    int appArgc = int(arguments.size());
    arguments.push_back(nullptr);

    routeQtMessages(nullptr, options.download);
    SignalCatcher::holdStopSignals(true);
    startingWindows(true);
    QApplication app(appArgc, arguments.data());
    startingWindows(false);
    QApplication::setApplicationName(QStringLiteral("pelkoupdate"));
    QApplication::setApplicationVersion(QStringLiteral(PELKOUPDATE_VERSION));
    LineOutput out(1);
    LineOutput err(2);
    routeQtMessages(&err, options.download);

    // A station window shows a line of one bay too.
    const bool line = options.station && (options.ports.size() > 1 || !options.download);
    const int result = line ? runLine(options, out, err) : runWindow(options, out, err);
    // A reader that is merely slow gets a moment for the last lines.
    out.drain(500);
    err.drain(500);
    routeQtMessages(nullptr, true);
    return result;
}
