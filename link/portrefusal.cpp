#include "pelkoupdate.h"

#include "portdiagnosis.h"
#include "ui_pelkoupdate.h"

#include <cerrno>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

// Why a port would not open, told as the user needs it: who holds it, or
// what the system shows in the way.

// The user could read and write the node, so a refusal means someone else
// has it.
bool pelkoUpdate::mayUse(const QString &path)
{
#ifdef Q_OS_UNIX
    const int savedErrno = errno;
    const bool may = ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
    errno = savedErrno;
    return may;
#else
    Q_UNUSED(path);
    return false;
#endif
}

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
    return false;
}

// What the system shows in the way (a missing group, brltty, another
// program holding the port), after the reason.
QString pelkoUpdate::portOpenError(const QString &name) const
{
    const QString text = QStringLiteral("Cannot open port %1: %2").arg(name, serialPort.errorString());
    const QStringList inTheWay = portdiagnosis::inTheWay(portidentity::devicePath(name));
    return (QStringList{text} + inTheWay).join(QStringLiteral("; "));
}

// A node that is no terminal at all (/dev/null, a file) refuses the line's
// settings: that is the whole story.
bool pelkoUpdate::notAPort(const QString &name)
{
    if (portdiagnosis::isSerialPort(portPath))
        return false;
    showStatus(QStringLiteral("Cannot open port %1: not a serial port").arg(name),
               QStringLiteral("Cannot open port %1: not a serial port (%2)").arg(name, serialPort.errorString()));
    return true;
}
