#ifndef UNITLOG_H
#define UNITLOG_H

#include <QFile>
#include <QString>

// A station's record of its units: one JSON line a unit, appended, and on
// disk before the next unit starts. A record that cannot be kept is said,
// never lost in silence.
class UnitLog
{
public:
    // Only a regular file (or a new one) is taken: a FIFO with no reader,
    // a device or a directory is refused without ever blocking on it. A
    // last line left without its newline gets one first.
    bool open(const QString &path, QString *error);
    bool isOpen() const { return file.isOpen(); }
    // The line (without its newline) written, flushed and synced; false,
    // with the reason, when any of that failed.
    bool append(const QByteArray &line, QString *error);

private:
    QString failed(const QString &reason) const;

    QFile file;
    QString path;
};

#endif
