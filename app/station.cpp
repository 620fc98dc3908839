#include "station.h"

#include "jsonevents.h"
#include "lineoutput.h"
#include "options.h"

#include <QDateTime>
#include <QJsonDocument>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

Station::Station(pelkoUpdate &dialog, int silenceMs, LineOutput &out, LineOutput &err, bool json,
                 int count, int leaveMs, const QString &portName)
    : ScriptedUpdate(dialog, silenceMs, out, err, json), count(count), portName(portName)
{
    leaveTimer.setSingleShot(true);
    leaveTimer.setInterval(leaveMs);
    connect(&leaveTimer, &QTimer::timeout, this, &Station::left);
}

bool Station::openLog(const QString &path, QString *error)
{
    log.setFileName(path);
    if (log.open(QIODevice::WriteOnly | QIODevice::Append))
        return true;
    *error = QStringLiteral("cannot open the log %1: %2").arg(path, log.errorString());
    return false;
}

// The next unit answered: from here on, --timeout bounds its update.
void Station::deviceFound()
{
    if (!arrived) {
        arrived = true;
        unit = ++units;
        print(human, QStringLiteral("unit %1: device found").arg(unit));
    }
    ScriptedUpdate::deviceFound();
}

void Station::deviceStillThere()
{
    leaveTimer.start();
}

void Station::left()
{
    print(human, QStringLiteral("unit %1 left; waiting for the next device").arg(units));
    dialog.findNext();
}

void Station::concluded()
{
    if (!arrived || signalled || code == ExitClosedByHand) {
        // A signal or the window mid-transfer keeps its own code; between
        // units the tally decides; with no unit at all (the file, the port)
        // the reason's code stands.
        const bool midTransfer = arrived && downloading && wordsSent > 0;
        failed += midTransfer ? 1 : 0;
        // Stopped before the units asked for: the stop's own code, so a
        // script never takes a short run for a whole one.
        const bool stopped = signalled || code == ExitClosedByHand;
        const bool shortOfCount = count > 0 && passed + failed < count;
        return endStation(midTransfer || !stopped || shortOfCount ? code : failed > 0 ? 1 : 0);
    }
    const bool ok = code == ExitUpdated;
    ++(ok ? passed : failed);
    print(human, QStringLiteral("unit %1: %2 (%3); tally: %4 passed, %5 failed")
                     .arg(unit)
                     .arg(ok ? QStringLiteral("passed") : QStringLiteral("failed"), lastStatus)
                     .arg(passed)
                     .arg(failed));
    logUnit();
    // A lost adapter or an unusable file ends the row: there is no next unit
    // to reach.
    const QString outcome = lastResult.value(QStringLiteral("outcome")).toString();
    if (outcome == QLatin1String("line-lost") || outcome == QLatin1String("unusable"))
        return endStation(1);
    if (count > 0 && passed + failed >= count)
        return endStation(failed > 0 ? 1 : 0);
    resetForNextUnit();
    arrived = false;
    dialog.awaitLeave();
    leaveTimer.start();
}

// One line a unit, on disk before the next unit starts.
void Station::logUnit()
{
    if (!log.isOpen())
        return;
    QJsonObject entry = lastResult;
    entry.insert(QStringLiteral("time"),
                 QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    entry.insert(QStringLiteral("port"), portName);
    entry.insert(QStringLiteral("firmware_before"), firmware);
    entry.insert(QStringLiteral("hardware"), hardware);
    log.write(jsonevents::line(entry) + '\n');
    log.flush();
#ifdef Q_OS_UNIX
    ::fsync(log.handle());
#endif
}

void Station::endStation(int exitCode)
{
    leaveTimer.stop();
    code = exitCode;
    print(human, QStringLiteral("station: %1 units, %2 passed, %3 failed")
                     .arg(passed + failed)
                     .arg(passed)
                     .arg(failed));
    emitEvent(QJsonObject{{QStringLiteral("schema"), jsonevents::schema},
                          {QStringLiteral("event"), QStringLiteral("tally")},
                          {QStringLiteral("passed"), passed},
                          {QStringLiteral("failed"), failed},
                          {QStringLiteral("exit_code"), exitCode}});
    ScriptedUpdate::concluded();
}

std::unique_ptr<ScriptedUpdate> makeScript(const Options &options, pelkoUpdate &dialog,
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
