#ifndef STATION_H
#define STATION_H

#include "scriptedupdate.h"
#include "unitrecords.h"

#include <QElapsedTimer>
#include <QTimer>

#include <memory>

class EnterKey;

// What a bay shows: its state, the unit in hand and its counts.
struct BayView
{
    enum State { Waiting, Updating, Passed, Failed, Interrupted };
    State state = Waiting;
    int unit = 0;
    int percent = 0;
    int secondsLeft = -1;
    QString reason; // of a failed unit
    int passed = 0;
    int failed = 0;
    int interrupted = 0;
    // What more the bay's lines say, as they say it: "port lost at 43 %,
    // waiting 3 s of 5", "back after 1.2 s", "waiting for NAME to appear",
    // "held by pid 4711 (minicom)", "remove unit 7: it still answers".
    QString note;
    bool portAway = false; // lost under the unit: its progress stands still
    bool awaitingLeave = false; // the unit's outcome is out; Next unit ends the wait
    bool ended = false;         // no unit will be updated in this bay any more
};

// What a station that is one bay of a line asks of the line.
class BayHost
{
public:
    virtual ~BayHost() = default;
    // The next unit's number over the whole line; 0 once every unit the
    // line is to update has been taken.
    virtual int takeUnit() = 0;
    // A unit's outcome (the bay has counted it), logged by the line's one
    // writer; false when the record cannot be kept.
    virtual bool unitEnded(int bay, const QJsonObject &result) = 0;
    // The running tally after a unit, for its line.
    virtual QString tally(int bay) const = 0;
    // Every unit the line is to update has ended.
    virtual bool complete() const = 0;
    virtual void bayEnded(int bay) = 0;
    // What the bay shows has changed.
    virtual void bayChanged(int bay) { Q_UNUSED(bay); }
};

// A production station: one port, device after device. After each unit's
// outcome it waits until the device leaves (no frame at all from it for the
// leave time), then updates the next one that answers; the same device is
// never updated twice without leaving first. An operator may say "next unit"
// by hand (Enter on the terminal, SIGUSR1). A failed unit never stops the
// station. One result line a unit, a running tally, and a closing tally
// after the count or a signal.
class Station : public ScriptedUpdate
{
public:
    Station(pelkoUpdate &dialog, int silenceMs, LineOutput &out, LineOutput &err, bool json,
            int count, int leaveMs);
    ~Station() override;

    // Each unit's result goes to the log at logPath as a JSON line and into
    // the database dbName names, on disk before the next unit starts. False,
    // with the reason, when either cannot be used.
    bool openRecords(const QString &logPath, const QString &dbName, QString *error);
    // Reads "next unit" from the terminal.
    void listenToOperator();
    // A failed unit is tried again, in place, this many times before it
    // counts failed.
    void setRetries(int retries) { this->retries = retries; }
    // One bay of a line: numbered from 1, on port; the line numbers, logs
    // and counts the units.
    void joinLine(BayHost *host, int number, const QString &port);
    // No unit in hand (none yet, or one that has ended and not left yet).
    bool idle() const { return !arrived && !ended; }
    bool hasEnded() const { return ended; }
    // Ends a bay that has no unit in hand: the line has all its units.
    void endIdle();
    void nextUnitByHand() override;
    BayView view() const;
    int passedUnits() const { return passed; }
    int failedUnits() const { return failed; }
    // Stopped by a signal or by hand with the unit in hand.
    int interruptedUnits() const { return interrupted; }
    // Every unit with a result: passed, failed and interrupted.
    int unitsEnded() const { return passed + failed + interrupted; }
    // Why the station ended, when it ended for a reason of its own.
    QString endReason() const { return lastStatus; }

protected:
    void concluded() override;
    bool boundsTheFirstWait() const override { return false; }
    QString idleState() const override;
    void deviceFound() override;
    void progressNoted(qint64 covered, qint64 size, qint64 secondsLeft) override;

private:
    void deviceStillThere() override;
    void portGone() override;
    void portAbsent(const QString &wanted) override;
    void portHeld(const QString &by) override;
    void portLost(int percent) override;
    void portBack(double seconds) override;
    void showChange();
    void stoppedOrRefused();
    void showOutcome(BayView::State state);
    void left();
    void leftBecause(const QString &why);
    void stillThere();
    bool logUnit();
    bool retryable() const;
    void tryAgain();
    void endStation(int exitCode);

    const int count; // 0: no end but a signal
    QTimer leaveTimer;
    QTimer stillThereTimer; // a word for the operator while a unit stays
    QElapsedTimer awaitingLeave;
    UnitRecords records;
    std::unique_ptr<EnterKey> enterKey;
    bool arrived = false; // a unit answered and is being updated
    bool ended = false;
    int retries = 0;
    BayHost *host = nullptr;
    BayView shown;
    QString note;          // as BayView's, but for a lost port's
    QElapsedTimer awayFor; // the port lost under the unit, since
    int lostAt = 0;        // its percent then
    int units = 0; // found so far
    int passed = 0;
    int failed = 0;
    int interrupted = 0;
};

#endif
