#include "line.h"

#include "jsonevents.h"
#include "lineoutput.h"

#include <QJsonArray>

// What the line counts and says of its units: the running tally after each,
// and the closing tally of every bay and the whole line with its exit code.

int Line::sumOver(int (Station::*count)() const) const
{
    int sum = 0;
    for (const Bay &bay : bays)
        sum += bay.station ? (bay.station.get()->*count)() : 0;
    return sum;
}

int Line::totalPassed() const
{
    return sumOver(&Station::passedUnits);
}

int Line::totalFailed() const
{
    return sumOver(&Station::failedUnits);
}

int Line::totalInterrupted() const
{
    return sumOver(&Station::interruptedUnits);
}

QString Line::tally(int bay) const
{
    const Station &station = *bays.at(size_t(bay - 1)).station;
    // "bay 0 passed" would read as a bay's number.
    return QStringLiteral("tally: %1 passed, %2 failed in this bay; %3 passed, %4 failed in the line")
        .arg(station.passedUnits())
        .arg(station.failedUnits())
        .arg(totalPassed())
        .arg(totalFailed());
}

bool Line::complete() const
{
    return logFailed || (settings.count > 0 && totalEnded() >= settings.count);
}

// The closing tally, each bay and the whole line; exit 0 only when every
// unit of every bay passed. A stop with a unit in hand, short of --count or
// with nothing updated keeps the stop's own code, so a supervisor never
// takes it for a whole run.
void Line::close()
{
    if (closed)
        return;
    records.close();
    closed = true;
    bool bayTrouble = false; // a bay that ended for a reason of its own
    bool bayUnusable = false; // its port or the image could not be used
    QJsonArray perBay;
    for (size_t i = 0; i < bays.size(); ++i) {
        const Station &station = *bays[i].station;
        const bool trouble = station.exitCode() != 0 && station.exitCode() < 128;
        bayTrouble = bayTrouble || trouble;
        bayUnusable = bayUnusable || station.exitCode() == ScriptedUpdate::ExitUnusable;
        const QString why = trouble && station.failedUnits() == 0 ? station.endReason() : QString();
        say(QStringLiteral("bay %1 %2: %3 units, %4 passed, %5 failed, %6 interrupted%7")
                .arg(i + 1)
                .arg(bays[i].port)
                .arg(station.unitsEnded())
                .arg(station.passedUnits())
                .arg(station.failedUnits())
                .arg(station.interruptedUnits())
                .arg(why.isEmpty() ? QString() : QStringLiteral("; ended: ") + why));
        perBay.append(QJsonObject{{QStringLiteral("bay"), int(i) + 1},
                                  {QStringLiteral("port"), bays[i].port},
                                  {QStringLiteral("passed"), station.passedUnits()},
                                  {QStringLiteral("failed"), station.failedUnits()},
                                  {QStringLiteral("interrupted"), station.interruptedUnits()},
                                  {QStringLiteral("exit_code"), station.exitCode()},
                                  {QStringLiteral("reason"), jsonevents::text(why)}});
    }
    const bool shortOfCount = settings.count > 0 && totalEnded() < settings.count;
    const bool stoppedShort = signalCode != 0
                              && (totalInterrupted() > 0 || shortOfCount
                                  || totalPassed() + totalFailed() == 0);
    code = stoppedShort                              ? signalCode
           : logFailed || bayUnusable                ? 3
           : !bayTrouble && totalFailed() == 0      ? 0
                                                     : 1;
    say(QStringLiteral("line: %1 units, %2 passed, %3 failed, %4 interrupted")
            .arg(totalEnded())
            .arg(totalPassed())
            .arg(totalFailed())
            .arg(totalInterrupted()));
    QJsonObject tally = jsonevents::tally(totalPassed(), totalFailed(), totalInterrupted(), code);
    tally.insert(QStringLiteral("bays"), perBay);
    emitLineEvent(tally);
    if (out.droppedLines() > 0)
        say(QStringLiteral("%1 lines of standard output were not written (its reader did not take "
                           "them, or its file is full)")
                .arg(out.droppedLines()),
            true);
    emit ended(code);
}
