#include "station.h"

#include "enterkey.h"
#include "jsonevents.h"
#include "lineoutput.h"

namespace {
// A unit that stays this long after its outcome is told about, and again
// each minute after.
constexpr int stillThereFirstMs = 30000;
constexpr int stillThereEveryMs = 60000;
} // namespace

Station::Station(pelkoUpdate &dialog, int silenceMs, LineOutput &out, LineOutput &err, bool json,
                 int count, int leaveMs)
    : ScriptedUpdate(dialog, silenceMs, out, err, json), count(count)
{
    station = true;
    // Between units a port that is gone is the next unit still to come.
    dialog.waitForPortWithoutBound(true);
    leaveTimer.setSingleShot(true);
    leaveTimer.setInterval(leaveMs);
    connect(&leaveTimer, &QTimer::timeout, this, &Station::left);
    connect(&stillThereTimer, &QTimer::timeout, this, &Station::stillThere);
}

Station::~Station() = default;

void Station::joinLine(BayHost *line, int number, const QString &port)
{
    host = line;
    bay = number;
    bayPort = port;
}

bool Station::openRecords(const QString &logPath, const QString &dbName, QString *error)
{
    connect(&records, &UnitRecords::said, this, [this](const QString &line, bool problem) {
        print(problem ? err : human, problem ? QStringLiteral("pelkoupdate: ") + line : line);
    });
    connect(&records, &UnitRecords::databaseEvent, this, [this](const QJsonObject &event) {
        QJsonObject own = event;
        own.insert(QStringLiteral("unit"), QJsonValue());
        emitEvent(own);
    });
    return records.open(logPath, dbName, error);
}

void Station::listenToOperator()
{
    enterKey = std::make_unique<EnterKey>();
    connect(enterKey.get(), &EnterKey::pressed, this, &Station::nextUnitByHand);
    connect(enterKey.get(), &EnterKey::deaf, this, [this] { print(human, EnterKey::deafLine()); });
}

void Station::nextUnitByHand()
{
    leftBecause(QStringLiteral("the operator says it has left"));
}

// Told, not guessed: the leave ends at once, with the reason said.
void Station::leftBecause(const QString &why)
{
    if (!awaitingLeave.isValid())
        return;
    print(human, QStringLiteral("unit %1: %2").arg(units).arg(why));
    left();
}

// The next unit answered: from here on, --timeout bounds its update.
void Station::deviceFound()
{
    if (!arrived) {
        const int number = host ? host->takeUnit() : units + 1;
        if (number == 0)
            return endIdle();
        arrived = true;
        attempt = 1;
        dialog.waitForPortWithoutBound(false);
        unit = units = number;
        print(human, QStringLiteral("unit %1: device found").arg(unit));
        // A failed tile stays red until the next unit is in its place.
        shown.state = BayView::Updating;
        shown.unit = unit;
        shown.percent = 0;
        shown.secondsLeft = -1;
        shown.reason.clear();
        note.clear();
        if (host)
            host->bayChanged(bay);
    }
    ScriptedUpdate::deviceFound();
}

void Station::progressNoted(qint64 covered, qint64 size, qint64 secondsLeft)
{
    shown.percent = size > 0 ? int(covered * 100 / size) : 100;
    shown.secondsLeft = int(secondsLeft);
    if (host)
        host->bayChanged(bay);
}

void Station::deviceStillThere()
{
    if (!awaitingLeave.isValid())
        return;
    leaveTimer.start();
    if (note.isEmpty()) {
        note = QStringLiteral("remove unit %1: it still answers").arg(units);
        showChange();
    }
}

// The unit took its adapter with it: it has left.
void Station::portGone()
{
    leftBecause(QStringLiteral("its port went away"));
}

void Station::stillThere()
{
    stillThereTimer.setInterval(stillThereEveryMs);
    print(human, QStringLiteral("unit %1 still answers on %2: remove it")
                     .arg(units)
                     .arg(portName.isEmpty() ? dialog.portDevicePath() : portName));
}

void Station::left()
{
    leaveTimer.stop();
    stillThereTimer.stop();
    awaitingLeave.invalidate();
    print(human, QStringLiteral("unit %1 left; waiting for the next device").arg(units));
    if (shown.state == BayView::Passed)
        shown.state = BayView::Waiting;
    note.clear();
    showChange();
    dialog.findNext();
}

void Station::concluded()
{
    if (!arrived || signalled || code == ExitClosedByHand)
        return stoppedOrRefused();
    const bool ok = code == ExitUpdated;
    if (!ok && retryable())
        return tryAgain();
    const double seconds = lastResult.value(QStringLiteral("seconds")).toDouble();
    const QString how = ok ? QStringLiteral("passed") : QStringLiteral("failed");
    const QString onTry = attempt > 1 ? QStringLiteral(" on try %1").arg(attempt) : QString();
    ++(ok ? passed : failed);
    showOutcome(ok ? BayView::Passed : BayView::Failed);
    print(human, host ? QStringLiteral("unit %1 %2%3 (%4 s, %5); %6")
                            .arg(unit)
                            .arg(how, onTry)
                            .arg(seconds, 0, 'f', 1)
                            .arg(lastStatus, host->tally(bay))
                      : QStringLiteral("unit %1: %2%3 (%4); tally: %5 passed, %6 failed")
                            .arg(unit)
                            .arg(how, onTry, lastStatus)
                            .arg(passed)
                            .arg(failed));
    if (!logUnit())
        return endStation(ExitUnusable);
    // An unusable file ends the row: no next unit could be updated. A lost
    // port never does: the unit went with it, and the next brings it back.
    const QString outcome = lastResult.value(QStringLiteral("outcome")).toString();
    if (outcome == QLatin1String("unusable"))
        return endStation(1);
    if (host ? host->complete() : count > 0 && unitsEnded() >= count)
        return endStation(failed > 0 ? 1 : 0);
    resetForNextUnit();
    arrived = false;
    dialog.waitForPortWithoutBound(true);
    // Another device that answered after a hiccup never left: it is waited
    // out as after any outcome, never taken for the next unit.
    if (outcome == QLatin1String("line-lost") && lastOutcome != Outcome::OtherDevice) {
        print(human, QStringLiteral("unit %1 is gone; waiting for the next device").arg(units));
        return dialog.findNext();
    }
    dialog.awaitLeave();
    awaitingLeave.start();
    leaveTimer.start();
    stillThereTimer.start(stillThereFirstMs);
    showChange(); // Next unit, by hand
}

// A signal or Stop with a unit in hand keeps its own code, and the unit its
// record, counted apart as interrupted; between units the tally decides,
// and a stop that updated nothing is never a success; with no unit at all
// (the file, the port) the reason's code stands.
void Station::stoppedOrRefused()
{
    const bool stopped = signalled || code == ExitClosedByHand;
    if (arrived) {
        ++interrupted;
        showOutcome(BayView::Interrupted);
        logUnit();
    }
    const bool shortOfCount = count > 0 && unitsEnded() < count;
    if (!stopped || arrived || shortOfCount || passed + failed == 0)
        return endStation(code);
    endStation(failed > 0 ? 1 : 0);
}

void Station::showOutcome(BayView::State state)
{
    awayFor.invalidate();
    note.clear();
    shown.state = state;
    shown.reason = state == BayView::Passed ? QString() : lastStatus;
    if (host)
        host->bayChanged(bay);
}

// A unit that is still there may be tried again; one whose port went, or
// an image that cannot be read, may not.
bool Station::retryable() const
{
    const QString outcome = lastResult.value(QStringLiteral("outcome")).toString();
    return attempt <= retries && outcome != QLatin1String("line-lost")
           && outcome != QLatin1String("unusable");
}

// The same unit, the same number, from the start: found again, then sent
// the whole image. The time-out bounds the wait for its answer.
void Station::tryAgain()
{
    print(human, QStringLiteral("unit %1: try %2 failed (%3); trying again")
                     .arg(unit)
                     .arg(attempt)
                     .arg(lastStatus));
    const int keep = unit;
    const int next = attempt + 1;
    const int partial = downloading && wordsSent > 0 ? attempt : earlierPartialTry;
    resetForNextUnit();
    unit = keep;
    attempt = next;
    earlierPartialTry = partial;
    noProgressTimer.start(silence);
    dialog.findNext();
}

QString Station::idleState() const
{
    return awaitingLeave.isValid() ? QStringLiteral("while unit %1 was still in its bay").arg(units)
                                   : ScriptedUpdate::idleState();
}

void Station::endIdle()
{
    if (ended)
        return;
    finished = true;
    noProgressTimer.stop();
    dialog.abandonUpdate();
    code = failed > 0 ? 1 : 0;
    endStation(code);
}

// One line a unit, on disk before the next unit starts; a record that
// cannot be kept stops the station rather than vanish.
bool Station::logUnit()
{
    if (host)
        return host->unitEnded(bay, lastResult);
    QString error;
    if (records.keep(lastResult, &error))
        return true;
    print(err, QStringLiteral("pelkoupdate: %1").arg(error));
    return false;
}

void Station::endStation(int exitCode)
{
    leaveTimer.stop();
    stillThereTimer.stop();
    // Nothing is waited for any more; why the port could not be used stays.
    if (awaitingLeave.isValid())
        note.clear();
    awaitingLeave.invalidate();
    awayFor.invalidate();
    code = exitCode;
    ended = true;
    if (host) {
        // The line says the closing tally, for every bay at once.
        dialog.abandonUpdate();
        showChange();
        return host->bayEnded(bay);
    }
    records.close();
    print(human, QStringLiteral("station: %1 units, %2 passed, %3 failed, %4 interrupted")
                     .arg(unitsEnded())
                     .arg(passed)
                     .arg(failed)
                     .arg(interrupted));
    QJsonObject tally = jsonevents::tally(passed, failed, interrupted, exitCode);
    tally.insert(QStringLiteral("unit"), QJsonValue()); // the station's own
    emitEvent(tally);
    tellLostOutput();
    ScriptedUpdate::concluded();
}
