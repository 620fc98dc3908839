#include "recordcourier.h"

#include "recordschema.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

namespace {
// Records read from the spool at a time while catching up.
constexpr int batch = 64;


QString unitOf(const QJsonObject &record)
{
    return QStringLiteral("unit %1 of run %2")
        .arg(qint64(record.value(QLatin1String("unit")).toDouble()))
        .arg(record.value(QLatin1String("run")).toString());
}
} // namespace

RecordCourier::RecordCourier(const RecordTarget &target, const QString &spoolPath, int firstDelayMs,
                             int longestDelayMs)
    : target(target), spoolPath(spoolPath), retry(this), firstDelay(firstDelayMs),
      longestDelay(longestDelayMs)
{
    retry.setSingleShot(true);
    retry.setInterval(firstDelay);
    connect(&retry, &QTimer::timeout, this, &RecordCourier::pass);
}

RecordCourier::~RecordCourier() = default;

void RecordCourier::start()
{
    QString error;
    if (!spool.open(spoolPath, target.name(), RecordSpool::Commits::Lazy, &error)) {
        emit deliveryFailed(error);
        return;
    }
    pass();
}

void RecordCourier::deliver()
{
    // While away, the back-off decides when to try next, not the line.
    if (!finished && !retry.isActive())
        pass();
}

void RecordCourier::finish()
{
    finished = true;
    retry.stop();
    if (spool.waiting() > 0)
        pass();
    closeServer();
    spool.close();
    thread()->quit();
}

bool RecordCourier::connectServer(QString *error)
{
    connection = recordschema::connectionName("courier");
    QSqlDatabase db = target.addConnection(connection);
    if (!db.open()) {
        *error = recordschema::reason(db.lastError());
    } else if (!recordschema::prepare(db, target.kind == RecordTarget::Sqlite ? recordschema::Dialect::Sqlite
                                                                             : recordschema::Dialect::Postgres,
                                      error)) {
        *error = QStringLiteral("cannot prepare its table: %1").arg(*error);
        // A database of a newer program stays so: said once, not only as
        // a server away.
        if (!toldNewer && error->contains(QLatin1String("newer pelkoupdate"))) {
            toldNewer = true;
            emit deliveryFailed(*error);
        }
    } else {
        if (target.kind == RecordTarget::Sqlite)
            QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous = FULL"));
        return true;
    }
    db = QSqlDatabase();
    closeServer();
    return false;
}

void RecordCourier::closeServer()
{
    if (connection.isEmpty())
        return;
    QSqlDatabase::database(connection, false).close();
    QSqlDatabase::removeDatabase(connection);
    connection.clear();
}

RecordCourier::Sent RecordCourier::send(const QJsonObject &record, QString *error)
{
    QSqlQuery query(QSqlDatabase::database(connection, false));
    if (query.prepare(recordschema::upsertStatement())) {
        recordschema::bindValues(query, recordschema::values(record));
        if (query.exec())
            return Sent::Delivered;
    }
    *error = recordschema::reason(query.lastError());
    // Only what is wrong with the record itself (SQLSTATE class 22, a value;
    // 23, a constraint; 42, the statement or a right) is refused: a lock
    // held too long, a statement cancelled or a server shutting down is
    // tried again, like a server that is away.
    const QString state = query.lastError().nativeErrorCode();
    query = QSqlQuery();
    static const QStringList refusedClasses{QStringLiteral("22"), QStringLiteral("23"),
                                            QStringLiteral("42")};
    if (refusedClasses.contains(state.left(2)) && serverAnswers())
        return Sent::Refused;
    if (serverAnswers())
        return Sent::Busy;
    return Sent::Away;
}

bool RecordCourier::serverAnswers()
{
    const QSqlDatabase db = QSqlDatabase::database(connection, false);
    if (!db.isOpen())
        return false;
    QSqlQuery probe(db);
    return probe.exec(QStringLiteral("SELECT 1"));
}

void RecordCourier::pass()
{
    if (!spool.isOpen())
        return;
    QString why;
    // A connection that broke (a server restarted) is made again at once:
    // only a server that cannot be reached counts as away.
    bool fresh = connection.isEmpty();
    if (fresh && !connectServer(&why)) {
        waitForServer(why);
        return;
    }
    int count = 0;
    qint64 cursor = 0;
    for (;;) {
        QString error;
        const QList<RecordSpool::Entry> entries = spool.after(cursor, batch, &error);
        if (!error.isEmpty())
            emit deliveryFailed(error);
        if (entries.isEmpty())
            break;
        for (const RecordSpool::Entry &entry : entries) {
            if (refused.contains(entry.id)) {
                cursor = entry.id;
                continue;
            }
            const Sent sent = send(entry.record, &why);
            if (sent == Sent::Away || sent == Sent::Busy) {
                if (sent == Sent::Away) {
                    closeServer();
                    if (!fresh && connectServer(&why)) {
                        fresh = true;
                        break; // the same entry again, from the cursor
                    }
                }
                if (count > 0)
                    emit delivered(count);
                waitForServer(why);
                return;
            }
            cursor = entry.id;
            if (sent == Sent::Refused) {
                // Kept in the spool; the next run tries it again.
                refused.insert(entry.id);
                emit deliveryFailed(QStringLiteral("the server refused the record of %1: %2")
                                        .arg(unitOf(entry.record), why));
                continue;
            }
            // Not removed: it is delivered again later, and is still one row.
            if (!spool.remove(entry.id, &error))
                emit deliveryFailed(error);
            ++count;
        }
    }
    retry.setInterval(firstDelay);
    if (count > 0)
        emit delivered(count);
    setAway(false, QString());
}

void RecordCourier::waitForServer(const QString &reason)
{
    setAway(true, reason);
    if (finished)
        return;
    retry.start();
    retry.setInterval(qMin(retry.interval() * 2, longestDelay));
}

void RecordCourier::setAway(bool away, const QString &reason)
{
    if (this->away == away)
        return;
    this->away = away;
    emit awayChanged(away, reason);
}
