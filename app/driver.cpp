#include "driver.h"

#include "line.h"
#include "lineoutput.h"
#include "options.h"
#include "platform.h"
#include "pelkoupdate.h"
#include "portidentity.h"
#include "signalcatcher.h"
#include "recordsreport.h"
#include "station.h"
#include "stationwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QSysInfo>
#include <QTimer>

#include <cstdio>

namespace {
// The session a window was on has ended, as a terminal's hangup ends one.
constexpr int displayLostCode = 129;

jsonevents::Provenance provenanceOf(const Options &options)
{
    const QString host = QSysInfo::machineHostName();
    return {options.stationName.isEmpty() ? host : options.stationName, host,
            options.operatorName, QStringLiteral(PELKOUPDATE_VERSION)};
}

// What every result says, and what it proves, whoever drives the window.
void recordAs(ScriptedUpdate &script, const Options &options)
{
    script.setProvenance(provenanceOf(options));
    if (!options.expectFirmware.isEmpty())
        script.expectFirmware(options.expectFirmware, options.verifyMs);
}

// The scripted update the options ask for: one update, or a station. Null,
// with the reason printed, when it cannot start.
std::unique_ptr<ScriptedUpdate> makeScript(const Options &options, pelkoUpdate &dialog,
                                           LineOutput &out, LineOutput &err)
{
    if (!options.station) {
        auto script = std::make_unique<ScriptedUpdate>(dialog, options.timeoutMs, out, err, options.json);
        recordAs(*script, options);
        return script;
    }
    auto station = std::make_unique<Station>(dialog, options.timeoutMs, out, err, options.json,
                                             options.count, options.leaveMs);
    recordAs(*station, options);
    QString error;
    if (!station->openRecords(options.log, options.db, &error)) {
        std::fprintf(stderr, "pelkoupdate: %s\n", qPrintable(error));
        return nullptr;
    }
    station->setRetries(options.retries);
    station->listenToOperator();
    return station;
}
} // namespace

int runWindow(const Options &options, LineOutput &out, LineOutput &err)
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
    } else {
        SignalCatcher::holdStopSignals(false); // a person's window ends as any program does
    }
    if (script) {
        onDisplayLost([&] {
            script->stopBecause(displayLostCode, QStringLiteral("stopped as the display went away"));
            out.drain(500);
            err.drain(500);
            std::_Exit(script->exitCode());
        });
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
                script->start(options.file, portidentity::identityOf(port));
            else if (options.fileAlone && options.ports.isEmpty())
                dialog.offerFile(options.file); // the person has not chosen a port yet
            else
                dialog.chooseFile(options.file);
        });
    }
    const int result = QApplication::exec();
    onDisplayLost(nullptr);
    return script ? script->exitCode() : result;
}

static LineSettings lineSettings(const Options &options)
{
    LineSettings settings;
    settings.file = options.file;
    settings.ports = options.ports;
    settings.expectSha256 = options.expectSha256;
    settings.log = options.log;
    settings.db = options.db;
    settings.timeoutMs = options.timeoutMs;
    settings.reconnectMs = options.reconnectMs;
    settings.leaveMs = options.leaveMs;
    settings.count = options.count;
    settings.retries = options.retries;
    settings.json = options.json;
    settings.trace = options.trace;
    settings.provenance = provenanceOf(options);
    settings.expectFirmware = options.expectFirmware;
    settings.verifyMs = options.verifyMs;
    return settings;
}

int reportRecords(const Options &options)
{
    RecordsQuery query;
    query.db = options.db;
    query.since = options.since;
    query.station = options.stationName;
    query.image = options.image;
    query.format = options.format;
    QFile out;
    QFile err;
    out.open(stdout, QIODevice::WriteOnly);
    err.open(stderr, QIODevice::WriteOnly);
    return writeRecordsReport(query, &out, &err);
}

// On the command line (--download), or in the station window: the same line.
int runLine(const Options &options, LineOutput &out, LineOutput &err)
{
    Line line(lineSettings(options), out, err);
    if (!line.start())
        return line.exitCode();
    std::unique_ptr<StationWindow> window;
    if (!options.download) {
        // The end stays on screen until the operator closes the window.
        window = std::make_unique<StationWindow>(line);
        QObject::connect(window.get(), &StationWindow::dismissed, qApp, &QCoreApplication::quit,
                         Qt::QueuedConnection);
        window->show();
        window->activateWindow();
    } else {
        QObject::connect(&line, &Line::ended, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    }
    onDisplayLost([&] {
        line.stopBecause(displayLostCode, QStringLiteral("stopped as the display went away"));
        out.drain(500);
        err.drain(500);
        std::_Exit(line.exitCode());
    });
    QApplication::exec();
    onDisplayLost(nullptr);
    return line.exitCode();
}
