#include "recordstore.h"

#include "recordcourier.h"
#include "recordschema.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

RecordStore::RecordStore(QObject *parent) : QObject(parent) {}

RecordStore::~RecordStore()
{
    close();
}

void RecordStore::setRetryDelays(int firstMs, int longestMs)
{
    firstDelay = firstMs;
    longestDelay = qMax(firstMs, longestMs);
}

bool RecordStore::open(const QString &dbName, QString *error)
{
    close();
    if (!RecordTarget::parse(dbName, &where, error) || !where.hasDriver(error)) {
        where = RecordTarget();
        return false;
    }
    const bool opened =
        where.kind == RecordTarget::None ||
        (where.kind == RecordTarget::Sqlite ? openSqlite(error) : openPostgres(error));
    if (!opened)
        close();
    return opened;
}

bool RecordStore::openSqlite(QString *error)
{
    const QFileInfo file(where.path);
    // A FIFO or a device would hold the line on its first read.
    if (file.exists() && !file.isFile()) {
        *error = QStringLiteral("the database %1 is not a regular file").arg(where.path);
        return false;
    }
    if (where.isDefault && !QDir().mkpath(file.absolutePath())) {
        *error = QStringLiteral("cannot make the directory %1").arg(file.absolutePath());
        return false;
    }
    connection = recordschema::connectionName("records");
    // Held longer by another writer (a query tool, a second station), a
    // record waits in the spool rather than hold every bay up.
    QSqlDatabase db = where.addConnection(connection, 250);
    QString why;
    if (!db.open()) {
        why = recordschema::reason(db.lastError());
    } else {
        // A record is on disk when add() returns, for one sync of the log
        // (a rollback journal costs three or four, 16 ms a record here).
        QSqlQuery pragma(db);
        for (const char *statement : {"PRAGMA journal_mode = WAL", "PRAGMA synchronous = FULL"}) {
            if (why.isEmpty() && !pragma.exec(QLatin1String(statement)))
                why = recordschema::reason(pragma.lastError());
        }
    }
    if (why.isEmpty() && recordschema::prepare(db, recordschema::Dialect::Sqlite, &why)
        && writable(db, &why)) {
        upsert = std::make_unique<QSqlQuery>(db);
        if (upsert->prepare(recordschema::upsertStatement()))
            return deliverLeftovers(error);
        why = recordschema::reason(upsert->lastError());
    }
    *error = QStringLiteral("cannot keep records in %1: %2").arg(where.path, why);
    db = QSqlDatabase();
    closeSqlite();
    return false;
}

// A file the station may read but not write would take a unit's record
// only after the unit was flashed and printed: found out before the first.
bool RecordStore::writable(QSqlDatabase db, QString *why)
{
    // SQLite opens a file it may not write for reading alone, and says so
    // only at the first write: one is tried, and taken back.
    QSqlQuery probe(db);
    const bool began = probe.exec(QStringLiteral("BEGIN IMMEDIATE"));
    const bool wrote = began && probe.exec(QStringLiteral("UPDATE schema_version SET version = version"));
    if (!wrote)
        *why = recordschema::reason(probe.lastError());
    if (began)
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
    return wrote;
}

// Records a run before could not put in the file (it was held) go first.
bool RecordStore::deliverLeftovers(QString *error)
{
    QString unused;
    RecordSpool leftovers;
    if (!leftovers.openToRead(RecordTarget::spoolPath(), where.name(), &unused) || leftovers.waiting() <= 0)
        return true;
    leftovers.close();
    return startCourier(error);
}

bool RecordStore::openPostgres(QString *error)
{
    return startCourier(error);
}

bool RecordStore::startCourier(QString *error)
{
    if (courier)
        return true;
    if (!spool.isOpen()
        && !spool.open(RecordTarget::spoolPath(), where.name(), RecordSpool::Commits::Synced, error))
        return false;
    thread = new QThread(this);
    thread->setObjectName(QStringLiteral("records"));
    courier = new RecordCourier(where, RecordTarget::spoolPath(), firstDelay, longestDelay);
    courier->moveToThread(thread);
    connect(courier, &RecordCourier::awayChanged, this, [this](bool nowAway, const QString &why) {
        if (!courier)
            return;
        away = nowAway;
        reason = why;
        emit awayChanged(away, waiting());
    });
    connect(courier, &RecordCourier::delivered, this, [this] {
        if (courier)
            emit waitingChanged(waiting());
    });
    connect(courier, &RecordCourier::deliveryFailed, this, [this](const QString &why) {
        if (courier)
            emit deliveryFailed(why);
    });
    thread->start();
    QMetaObject::invokeMethod(courier, &RecordCourier::start, Qt::QueuedConnection);
    return true;
}

bool RecordStore::add(const QJsonObject &result, QString *error)
{
    if (!isKeeping())
        return true;
    if (!recordschema::hasKey(result, error))
        return false;
    // While records wait, a new one waits behind them: a unit's last try
    // must never be overwritten by its earlier one delivered later.
    if (where.kind == RecordTarget::Sqlite && waiting() == 0) {
        recordschema::bindValues(*upsert, recordschema::values(result));
        if (upsert->exec())
            return true;
        const QString code = upsert->lastError().nativeErrorCode();
        const bool held = code == QLatin1String("5") || code == QLatin1String("6"); // busy, locked
        if (!held) {
            *error = QStringLiteral("cannot keep the record in %1: %2")
                         .arg(where.path, recordschema::reason(upsert->lastError()));
            return false;
        }
    }
    if (!startCourier(error) || !spool.put(result, error))
        return false;
    QMetaObject::invokeMethod(courier, &RecordCourier::deliver, Qt::QueuedConnection);
    emit waitingChanged(waiting());
    return true;
}

int RecordStore::waiting() const
{
    return spool.isOpen() ? qMax(0, spool.waiting()) : 0;
}

int RecordStore::close(int waitMs)
{
    int left = 0;
    if (where.kind == RecordTarget::Sqlite)
        closeSqlite();
    if (courier || spool.isOpen()) {
        stopCourier(waitMs);
        left = waiting();
        spool.close();
    }
    where = RecordTarget();
    away = false;
    reason.clear();
    return left;
}

void RecordStore::closeSqlite()
{
    upsert.reset();
    if (connection.isEmpty())
        return;
    QSqlDatabase::database(connection, false).close();
    QSqlDatabase::removeDatabase(connection);
    connection.clear();
}

void RecordStore::stopCourier(int waitMs)
{
    if (!courier)
        return;
    disconnect(courier, nullptr, this, nullptr);
    QMetaObject::invokeMethod(courier, &RecordCourier::finish, Qt::QueuedConnection);
    if (thread->wait(QDeadlineTimer(waitMs))) {
        delete courier;
        delete thread;
    } else {
        // Stuck in a statement the server never answers: no thread can be
        // stopped from outside, so this one is let go; it ends, and deletes
        // itself, when the statement does, or with the process.
        courier->deleteLater();
        thread->setParent(nullptr);
        connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    }
    courier = nullptr;
    thread = nullptr;
}
