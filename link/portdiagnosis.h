#ifndef PORTDIAGNOSIS_H
#define PORTDIAGNOSIS_H

#include "portidentity.h"

#include <QList>
#include <QString>
#include <QStringList>

// What the system shows about who and what stands between the user and a
// serial port. Everything here only reads (/proc, the device node, udev's
// records, the user's groups) and needs no root; on systems without /proc
// it finds nothing rather than guess. It runs when something went wrong or
// when asked, never on the update's path.
namespace portdiagnosis {

struct Holder
{
    qint64 pid = 0;
    QString name; // the program's name, as the system shows it
};

// Where the checks look, and as whom; tests point it at trees of their own.
struct System
{
    QString proc = QStringLiteral("/proc");
    QString udevData = QStringLiteral("/run/udev/data");
    // Where udev's rules are, the local ones first, as udev reads them.
    QStringList udevRules{QStringLiteral("/etc/udev/rules.d"), QStringLiteral("/run/udev/rules.d"),
                          QStringLiteral("/usr/lib/udev/rules.d"), QStringLiteral("/lib/udev/rules.d")};
    uint uid = 0;
    QList<uint> groups;
    qint64 self = 0; // our own process, never "in the way"
    static System current();
};

// Processes that have the device at path open, by whatever name they opened
// it; those whose descriptors the user may not read are not seen.
QList<Holder> holders(const QString &path, const QString &proc = QStringLiteral("/proc"));

// The process holding a lock on the device at path (the system's record of
// locks), else the first that has it open; pid 0 when none is seen.
Holder lockHolder(const QString &path, const QString &proc = QStringLiteral("/proc"));

// "pid 1234 (pelkoupdate), pid 99 (minicom)", or empty when none is seen.
QString describe(const QList<Holder> &holders);

struct Finding
{
    QString check;   // brltty, ModemManager, access, holders
    QString problem; // with its fix; empty when nothing is in the way
};

// The checks for the port at path (the system-wide ones alone when path is
// empty); port, when known, is what the system says the adapter is.
QList<Finding> diagnose(const QString &path, const System &system = System::current(),
                        const PortIdentity &port = PortIdentity());
// The problems alone; empty when nothing is in the way.
QStringList inTheWay(const QString &path, const System &system = System::current());

// Whether the node at path is a terminal of a tty driver the system has
// (a serial port, a USB adapter, a pseudo-terminal): /dev/null or a file is
// not. True where the system does not say.
bool isSerialPort(const QString &path, const QString &proc = QStringLiteral("/proc"));

} // namespace portdiagnosis

#endif
