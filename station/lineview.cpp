#include "line.h"

// What the line shows beyond its output: each bay's view for the station
// window, a unit's outcome said once, Stop, and each bay's frame trace
// marked with its bay.

void Line::bayChanged(int bay)
{
    const BayView view = bayView(bay);
    // An interrupted unit (Stop, a signal) holds a partial image: it is an
    // outcome the operator must hear of as much as a failed one.
    if (view.state != BayView::Waiting && view.state != BayView::Updating) {
        const QString what = view.state == BayView::Passed ? QStringLiteral("passed")
                             : view.state == BayView::Failed
                                 ? QStringLiteral("failed: %1").arg(view.reason)
                                 : QStringLiteral("interrupted: %1").arg(view.reason);
        if (lastSaid.value(bay) != view.unit) {
            lastSaid[bay] = view.unit;
            emit outcome(bay, QStringLiteral("Bay %1: unit %2 %3").arg(bay).arg(view.unit).arg(what));
        }
    }
    emit bayShowsNew(bay);
}

bool Line::transferring() const
{
    for (const Bay &bay : bays) {
        if (bay.station && bay.station->view().state == BayView::Updating && !bay.station->hasEnded())
            return true;
    }
    return false;
}

// As closing a bay's window under a script: each bay ends where it stands,
// its unit in hand recorded.
void Line::stop()
{
    signalCode = 130;
    for (Bay &bay : bays) {
        if (!bay.station->hasEnded())
            bay.window->reject();
    }
    for (Bay &bay : bays)
        bay.station->endIdle();
}

void Line::nextUnit(int bay)
{
    bays.at(size_t(bay - 1)).station->nextUnitByHand();
}

void Line::BayTrace::lines(const QByteArray &text)
{
    QByteArray marked;
    marked.reserve(text.size() + (text.count('\n') + 1) * mark.size());
    for (const QByteArray &line : text.split('\n')) {
        if (!line.isEmpty())
            marked += mark + line + '\n';
    }
    to.lines(marked);
}
