#ifndef RECORDCOURIER_H
#define RECORDCOURIER_H

#include "recordspool.h"
#include "recordtarget.h"

#include <QObject>
#include <QSet>
#include <QTimer>

// Carries records from the spool to a PostgreSQL server, on a thread of its
// own so that connecting and waiting on the network never hold the line's
// event loop. Oldest first, one at a time, each removed from the spool only
// after the server committed it; the server keeps the last of a (run, unit),
// so a record delivered twice (a crash between the two) is still one row.
// An unreachable server is tried again after a delay that doubles up to a
// bound.
class RecordCourier : public QObject
{
    Q_OBJECT

public:
    RecordCourier(const RecordTarget &target, const QString &spoolPath, int firstDelayMs,
                  int longestDelayMs);
    ~RecordCourier() override;

    // Called in the courier's thread (queued): opens its connections and
    // delivers what waits; a record was spooled; a last try before the end,
    // which then ends the thread.
    void start();
    void deliver();
    void finish();

signals:
    void awayChanged(bool away, const QString &reason);
    void delivered(int count);
    // A record the server refused (it stays in the spool, and is tried
    // again in the next run), or a spool that cannot be read.
    void deliveryFailed(const QString &reason);

private:
    // Busy: the server answers but did not take it now (a lock, a timeout).
    enum class Sent { Delivered, Refused, Busy, Away };
    bool toldNewer = false;

    bool connectServer(QString *error);
    void closeServer();
    Sent send(const QJsonObject &record, QString *error);
    bool serverAnswers();
    void pass();
    void waitForServer(const QString &reason);
    void setAway(bool away, const QString &reason);

    RecordTarget target;
    QString spoolPath;
    RecordSpool spool;
    QString connection;
    QTimer retry;
    int firstDelay;
    int longestDelay;
    bool away = false;
    bool finished = false;
    QSet<qint64> refused;
};

#endif
