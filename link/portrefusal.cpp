#include "pelkoupdate.h"

#include "portdiagnosis.h"
#include "ui_pelkoupdate.h"

// Why a port would not open, told as the user needs it: who holds it, or
// what the system shows in the way.

bool pelkoUpdate::portInUse(const QString &name)
{
    const portdiagnosis::Holder holder = portdiagnosis::lockHolder(portPath);
    const QString text = QStringLiteral("Cannot open port %1: in use by %2").arg(name);
    const QString whole = text.arg(holder.pid > 0 ? portdiagnosis::describe({holder})
                                                  : QStringLiteral("another program"));
    // The program's name goes where the line has no room for it.
    const QString shorter = holder.pid > 0 ? text.arg(QStringLiteral("pid %1").arg(holder.pid))
                                           : QStringLiteral("Cannot open port %1: in use").arg(name);
    showStatus(statusFits(fittedStatus(whole)) ? whole : shorter, whole);
    if (observer)
        observer->portHeld(holder.pid > 0 ? portdiagnosis::describe({holder}) : QString());
    return false;
}

// What the system shows in the way (a missing group, brltty, another
// program holding the port), after the reason.
QString pelkoUpdate::portOpenError(const QString &name) const
{
    const QString text = QStringLiteral("Cannot open port %1: %2").arg(name, linePort->errorString());
    const QStringList inTheWay = portdiagnosis::inTheWay(portidentity::devicePath(name));
    return (QStringList{text} + inTheWay).join(QStringLiteral("; "));
}

// A node that is no terminal at all (/dev/null, a file) refuses the line's
// settings: that is the whole story.
bool pelkoUpdate::notAPort(const QString &name)
{
    showStatus(QStringLiteral("Cannot open port %1: not a serial port").arg(name),
               QStringLiteral("Cannot open port %1: not a serial port (%2)").arg(name, linePort->errorString()));
    return false;
}
