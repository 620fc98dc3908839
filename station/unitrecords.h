#ifndef UNITRECORDS_H
#define UNITRECORDS_H

#include "recordstore.h"
#include "unitlog.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

// A station's records of its units, kept as one: its --log file (a JSON
// line a unit) and its database (--db; the default SQLite file when none is
// named, nothing with "none"). Each record is on disk before the next unit
// starts, or the reason is said; a database that cannot be reached is said,
// its records waiting to be delivered.
class UnitRecords : public QObject
{
    Q_OBJECT

public:
    // false, with the reason, when either cannot be used.
    bool open(const QString &logPath, const QString &dbName, QString *error);
    // The result in the log, then in the database; false, with the reason,
    // when either could not keep it.
    bool keep(const QJsonObject &result, QString *error);
    // The database's records not delivered at the end are said, once.
    void close();
    // For the station window's header: empty while all is well.
    QString state() const;

signals:
    // A line for people; problem: standard error, after the program's name.
    void said(const QString &line, bool problem);
    // The database went away or came back: a JSON "db" event.
    void databaseEvent(const QJsonObject &event);
    void stateChanged(const QString &state);

private:
    void awayChanged(bool away, int waiting);
    void waitingChanged(int waiting);

    UnitLog log;
    RecordStore store;
    bool told = false; // the database's being away was said
    bool closed = false;
};

#endif
