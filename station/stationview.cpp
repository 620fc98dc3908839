#include "station.h"

// What a bay shows, for the station window: its view, and the port's
// comings and goings as the window tells them.

// A lost port's wait is told as it runs; the window asks again each second.
BayView Station::view() const
{
    BayView view = shown;
    view.passed = passed;
    view.failed = failed;
    view.interrupted = interrupted;
    view.portAway = awayFor.isValid();
    view.note = !view.portAway ? note
                               : QStringLiteral("port lost at %1 %, waiting %2 s of %3")
                                     .arg(lostAt)
                                     .arg(awayFor.elapsed() / 1000)
                                     .arg(dialog.reconnectBound() / 1000.0);
    view.awaitingLeave = awaitingLeave.isValid();
    view.ended = ended;
    return view;
}

void Station::showChange()
{
    if (host)
        host->bayChanged(bay);
}

void Station::portAbsent(const QString &wanted)
{
    ScriptedUpdate::portAbsent(wanted);
    note = dialog.toldStatus();
    showChange();
}

void Station::portHeld(const QString &by)
{
    note = QStringLiteral("held by %1").arg(by.isEmpty() ? QStringLiteral("another program") : by);
    showChange();
}

void Station::portLost(int percent)
{
    ScriptedUpdate::portLost(percent);
    lostAt = percent;
    awayFor.start();
    showChange();
}

// Back under a unit, the hiccup stays told until the unit's outcome.
void Station::portBack(double seconds)
{
    ScriptedUpdate::portBack(seconds);
    awayFor.invalidate();
    note = seconds >= 0 ? QStringLiteral("back after %1 s").arg(seconds, 0, 'f', 1) : QString();
    showChange();
}
