#include "jsonevents.h"
#include "lineoutput.h"
#include "options.h"
#include "pelkoupdate.h"
#include "platform.h"
#include "portchoice.h"
#include "scriptedupdate.h"
#include "station.h"

#include <QApplication>
#include <QComboBox>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

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
// Ports are found and checked before any window: a listing, a diagnosis or
// a port that cannot be told apart needs no display.
int choosePort(Options &options)
{
    if (!options.listPorts && !options.doctor && options.ports.isEmpty() && !options.download)
        return -1;
    const QList<PortIdentity> ports = portidentity::systemPorts();
    if (options.listPorts && options.json) {
        for (const PortIdentity &port : ports)
            std::printf("%s\n", jsonevents::line(jsonevents::port(port)).constData());
        return 0;
    }
    const portchoice::Outcome outcome = options.listPorts ? portchoice::list(ports)
                                        : options.doctor  ? portchoice::doctor(options.ports, ports)
                                                          : portchoice::resolve(options, ports);
    const bool failed = outcome.exitCode > 0 && !options.doctor;
    // With JSON on standard output, what people read goes to standard error.
    if (!outcome.said.isEmpty())
        std::fprintf(failed || options.json ? stderr : stdout, "%s%s\n",
                     failed ? "pelkoupdate: " : "", qPrintable(outcome.said));
    return outcome.exitCode;
}

// The port as the system knows it, for the port event.
PortIdentity identityOf(const QString &name)
{
    for (const PortIdentity &port : portidentity::systemPorts()) {
        if (port.name == name || port.location == name)
            return port;
    }
    return PortIdentity(name, name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name);
}

std::unique_ptr<ScriptedUpdate> scriptFor(const Options &options, pelkoUpdate &dialog,
                                          LineOutput &out, LineOutput &err)
{
    if (!options.station)
        return std::make_unique<ScriptedUpdate>(dialog, options.timeoutMs, out, err, options.json);
    auto station = std::make_unique<Station>(dialog, options.timeoutMs, out, err, options.json,
                                             options.count, options.leaveMs,
                                             options.ports.value(0));
    QString error;
    if (!options.log.isEmpty() && !station->openLog(options.log, &error)) {
        std::fprintf(stderr, "pelkoupdate: %s\n", qPrintable(error));
        return nullptr;
    }
    return station;
}
} // namespace

int main(int argc, char **argv)
{
    ensureStandardStreams();
#ifdef Q_OS_UNIX
    // A reader that went away costs its lines, never the update.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    const CommandLine command = parseCommandLine(argc, argv);
    if (command.exitCode >= 0)
        return command.exitCode;
    Options options = command.options;
    if (const int exitCode = choosePort(options); exitCode >= 0)
        return exitCode;
    std::vector<char *> arguments(argv, argv + argc);
    if (const int exitCode = choosePlatform(options, arguments); exitCode >= 0)
        return exitCode;
    int appArgc = int(arguments.size());
    arguments.push_back(nullptr);

    quietQt = options.download;
    qInstallMessageHandler(handleQtMessage);
    startingWindowSystem = true;
    QApplication app(appArgc, arguments.data());
    startingWindowSystem = false;
    QApplication::setApplicationName(QStringLiteral("pelkoupdate"));
    QApplication::setApplicationVersion(QStringLiteral(PELKOUPDATE_VERSION));
    LineOutput out(1);
    LineOutput err(2);
    errors = &err;

    int result = 0;
    {
        pelkoUpdate dialog(options.ports);
        if (options.trace)
            dialog.enableTrace(&err);
        dialog.expectImage(options.expectSha256);
        std::unique_ptr<ScriptedUpdate> script;
        if (options.download) {
            script = scriptFor(options, dialog, out, err);
            if (!script)
                return 3;
            script->catchSignals();
        }
        dialog.show();
        if (!options.file.isEmpty()) {
            QTimer::singleShot(0, &dialog, [&] {
                if (script)
                    script->start(options.file, identityOf(dialog.findChild<QComboBox *>(
                                                    QStringLiteral("comboBoxPort"))->currentText()));
                else
                    dialog.chooseFile(options.file);
            });
        }
        result = app.exec();
        if (script)
            result = script->exitCode();
    }
    // A reader that is merely slow gets a moment for the last lines.
    out.drain(500);
    err.drain(500);
    errors = nullptr;
    return result;
}
