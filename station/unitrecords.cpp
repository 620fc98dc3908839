#include "unitrecords.h"

#include "jsonevents.h"

#include <QFileInfo>

bool UnitRecords::open(const QString &logPath, const QString &dbName, QString *error)
{
    if (!logPath.isEmpty() && !log.open(logPath, error))
        return false;
    if (!store.open(dbName, error))
        return false;
    // One file as both would have the database write over the log's lines.
    const QString logFile = QFileInfo(logPath).canonicalFilePath();
    for (const QString &db : {store.target().path, RecordTarget::spoolPath()}) {
        if (!logPath.isEmpty() && !logFile.isEmpty() && QFileInfo(db).canonicalFilePath() == logFile) {
            *error = QStringLiteral("the log %1 is the database %2: give each a file of its own")
                         .arg(logPath, db);
            store.close();
            return false;
        }
    }
    connect(&store, &RecordStore::awayChanged, this, &UnitRecords::awayChanged);
    connect(&store, &RecordStore::waitingChanged, this, &UnitRecords::waitingChanged);
    connect(&store, &RecordStore::deliveryFailed, this, [this](const QString &why) {
        emit said(QStringLiteral("database %1 refused a record, kept to try again: %2")
                      .arg(store.target().name(), why),
                  true);
    });
    return true;
}

bool UnitRecords::keep(const QJsonObject &result, QString *error)
{
    if (log.isOpen() && !log.append(jsonevents::line(result), error))
        return false;
    return !store.isKeeping() || store.add(result, error);
}

QString UnitRecords::state() const
{
    return store.isAway() ? QStringLiteral("database away: %1 records waiting").arg(store.waiting())
                          : QString();
}

void UnitRecords::awayChanged(bool away, int waiting)
{
    QJsonObject event{{QStringLiteral("schema"), jsonevents::schema},
                      {QStringLiteral("event"), QStringLiteral("db")},
                      {QStringLiteral("database"), store.target().name()},
                      {QStringLiteral("away"), away},
                      {QStringLiteral("waiting"), waiting},
                      {QStringLiteral("reason"), away ? jsonevents::text(store.awayReason()) : QJsonValue()}};
    emit databaseEvent(event);
    if (away)
        emit said(QStringLiteral("database away: %1 records waiting (%2)").arg(waiting).arg(store.awayReason()), false);
    else if (told)
        emit said(QStringLiteral("database back: %1 records to deliver").arg(waiting), false);
    told = away;
    emit stateChanged(state());
}

// While it is away, each record that waits is told, so the count on the
// screen is the count in the spool.
void UnitRecords::waitingChanged(int waiting)
{
    if (store.isAway() && waiting > 0)
        emit said(QStringLiteral("database away: %1 records waiting").arg(waiting), false);
    emit stateChanged(state());
}

void UnitRecords::close()
{
    if (closed)
        return;
    closed = true;
    const QString name = store.target().name();
    const int left = store.close();
    if (left > 0)
        emit said(QStringLiteral("%1 records not delivered to %2: they wait in %3, and the next run "
                                 "with this --db delivers them first")
                      .arg(left)
                      .arg(name, RecordTarget::spoolPath()),
                  true);
}
