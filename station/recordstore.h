#ifndef RECORDSTORE_H
#define RECORDSTORE_H

#include "recordspool.h"
#include "recordtarget.h"

#include <QJsonObject>
#include <QObject>

#include <memory>

class QSqlQuery;
class QThread;
class RecordCourier;

// Keeps each unit's result (the "result" object of the JSON events) as a row
// of the units table: in an SQLite file, committed on the caller's thread
// (local, once a unit); or on a PostgreSQL server, committed first to the
// local spool and delivered by a courier thread, so the line never waits on
// the network and nothing is lost while the server is away.
class RecordStore : public QObject
{
    Q_OBJECT

public:
    explicit RecordStore(QObject *parent = nullptr);
    ~RecordStore() override;

    // How long to wait before trying an away server again: the first delay,
    // doubling up to the longest (default 1 s, 30 s). Before open().
    void setRetryDelays(int firstMs, int longestMs);

    // The database as --db names it ("none", a file, a postgresql:// address; empty:
    // the default database). false, with the reason, when it cannot be used;
    // a server that cannot be reached is no reason: its records wait.
    bool open(const QString &dbName, QString *error);
    const RecordTarget &target() const { return where; }
    bool isKeeping() const { return where.kind != RecordTarget::None; }

    // Keeps a result; true once it is on disk (the database file, or the
    // spool), whatever the server does. false, with the reason, when it
    // cannot be kept: a full disk, a result without run or unit.
    bool add(const QJsonObject &result, QString *error);

    // The server could not be reached, or did not take a record (a lock,
    // a timeout), at the last try; awayReason() says why, on one line.
    bool isAway() const { return away; }
    QString awayReason() const { return reason; }
    // Records spooled and not yet in the database: on their way to a server,
    // or waiting for an SQLite file another writer holds.
    int waiting() const;

    // Makes a last try at the records waiting, stops the courier, and
    // returns how many are left in the spool for the next run, which
    // delivers them first. Waits at most waitMs for the courier (a server
    // that cannot be reached costs it the connect timeout, 3 s; one that
    // took the connection and stopped answering, whatever it hangs): past
    // that the courier is left to end by itself, and its record counts as
    // waiting. Called by the destructor.
    int close(int waitMs = 5000);

signals:
    // The server went away or came back; waiting: records not on it yet.
    void awayChanged(bool away, int waiting);
    // Records were spooled or delivered.
    void waitingChanged(int waiting);
    // The server refused a record (it stays spooled), or the spool failed.
    void deliveryFailed(const QString &reason);

private:
    bool openSqlite(QString *error);
    bool openPostgres(QString *error);
    bool writable(QSqlDatabase db, QString *why);
    bool deliverLeftovers(QString *error);
    bool startCourier(QString *error);
    void closeSqlite();
    void stopCourier(int waitMs);

    RecordTarget where;
    int firstDelay = 1000;
    int longestDelay = 30000;
    // SQLite
    QString connection;
    std::unique_ptr<QSqlQuery> upsert;
    // PostgreSQL
    RecordSpool spool;
    QThread *thread = nullptr;
    RecordCourier *courier = nullptr;
    bool away = false;
    QString reason;
};

#endif
