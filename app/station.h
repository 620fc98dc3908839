#ifndef STATION_H
#define STATION_H

#include "scriptedupdate.h"
#include "unitlog.h"

#include <QElapsedTimer>
#include <QTimer>

#include <memory>

struct Options;
class QSocketNotifier;

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

    // Each unit's result goes to path as a JSON line, on disk before the
    // next unit starts. False, with the reason, when it cannot.
    bool openLog(const QString &path, QString *error) { return log.open(path, error); }
    // Reads "next unit" from the terminal.
    void listenToOperator();

protected:
    void concluded() override;
    bool boundsTheFirstWait() const override { return false; }
    void deviceFound() override;
    void nextUnitByHand() override;

private:
    void deviceStillThere() override;
    void portGone() override;
    void left();
    void leftBecause(const QString &why);
    void stillThere();
    void operatorTyped();
    bool logUnit();
    void endStation(int exitCode);

    const int count; // 0: no end but a signal
    QTimer leaveTimer;
    QTimer stillThereTimer; // a word for the operator while a unit stays
    QElapsedTimer awaitingLeave;
    UnitLog log;
    std::unique_ptr<QSocketNotifier> terminal;
    bool arrived = false; // a unit answered and is being updated
    int units = 0; // found so far
    int passed = 0;
    int failed = 0;
};

// The scripted update the options ask for: one update, or a station. Null,
// with the reason printed, when it cannot start.
std::unique_ptr<ScriptedUpdate> makeScript(const Options &options, pelkoUpdate &dialog,
                                           LineOutput &out, LineOutput &err);

#endif
