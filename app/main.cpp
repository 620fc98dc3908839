#include "lineoutput.h"
#include "options.h"
#include "pelkoupdate.h"
#include "platform.h"
#include "portchoice.h"
#include "station.h"

#include <QApplication>
#include <QComboBox>
#include <QTimer>

#include <csignal>
#include <memory>
#include <vector>

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
    if (const int exitCode = portchoice::fromCommandLine(options); exitCode >= 0)
        return exitCode;
    std::vector<char *> arguments(argv, argv + argc);
    if (const int exitCode = choosePlatform(options, arguments); exitCode >= 0)
        return exitCode;
    int appArgc = int(arguments.size());
    arguments.push_back(nullptr);

    routeQtMessages(nullptr, options.download);
    startingWindows(true);
    QApplication app(appArgc, arguments.data());
    startingWindows(false);
    QApplication::setApplicationName(QStringLiteral("pelkoupdate"));
    QApplication::setApplicationVersion(QStringLiteral(PELKOUPDATE_VERSION));
    LineOutput out(1);
    LineOutput err(2);
    routeQtMessages(&err, options.download);

    int result = 0;
    {
        pelkoUpdate dialog(options.ports);
        dialog.setReconnect(options.reconnectMs);
        if (options.trace)
            dialog.enableTrace(&err);
        dialog.expectImage(options.expectSha256);
        std::unique_ptr<ScriptedUpdate> script;
        if (options.download) {
            script = makeScript(options, dialog, out, err);
            if (!script)
                return 3;
            script->catchSignals();
        }
        dialog.show();
        // The active window, as after a click on it: a screen reader speaks
        // only for the active one, and the first step has the focus.
        dialog.activateWindow();
        if (!options.file.isEmpty()) {
            QTimer::singleShot(0, &dialog, [&] {
                const QString port =
                    dialog.findChild<QComboBox *>(QStringLiteral("comboBoxPort"))->currentText();
                if (script)
                    script->start(options.file, portchoice::identityOf(port));
                else if (options.fileAlone && options.ports.isEmpty())
                    dialog.offerFile(options.file); // the person has not chosen a port yet
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
    routeQtMessages(nullptr, true);
    return result;
}
