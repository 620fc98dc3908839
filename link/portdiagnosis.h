#ifndef PORTDIAGNOSIS_H
#define PORTDIAGNOSIS_H

#include <QList>
#include <QString>

// What the system shows about who and what stands between the user and a
// serial port. Everything here only reads (/proc, the device node); on
// systems without /proc it finds nothing rather than guess.
namespace portdiagnosis {

struct Holder
{
    qint64 pid = 0;
    QString name; // the program's name, as the system shows it
};

// Processes that have the device at path open, by whatever name they opened
// it; those whose descriptors the user may not read are not seen.
QList<Holder> holders(const QString &path);

// "pid 1234 (pelkoupdate), pid 99 (minicom)", or empty when none is seen.
QString describe(const QList<Holder> &holders);

} // namespace portdiagnosis

#endif
