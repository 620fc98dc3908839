#include "recordspool.h"

#include "recordschema.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>

namespace {
QString failed(const QString &path, const QString &reason)
{
    return QStringLiteral("the spool %1: %2").arg(path, reason);
}

} // namespace

bool RecordSpool::open(const QString &path, const QString &target, Commits commits, QString *error)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *error = failed(path, QStringLiteral("cannot make its directory"));
        return false;
    }
    return openAs(path, target, false, commits, error);
}

bool RecordSpool::openToRead(const QString &path, const QString &target, QString *error)
{
    return !QFileInfo::exists(path) || openAs(path, target, true, Commits::Lazy, error);
}

bool RecordSpool::openAs(const QString &path, const QString &target, bool onlyToRead,
                         Commits commits, QString *error)
{
    close();
    this->path = path;
    this->target = target;
    connection = recordschema::connectionName("spool");
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open()) {
        *error = failed(path, recordschema::reason(db.lastError()));
        close();
        return false;
    }
    if (onlyToRead)
        return true;
    QSqlQuery query(db);
    // WAL: the station adds while the courier reads and removes, and a
    // commit costs one sync of the log. FULL: that sync is made before the
    // commit returns.
    const char *synchronous =
        commits == Commits::Synced ? "PRAGMA synchronous = FULL" : "PRAGMA synchronous = NORMAL";
    for (const char *statement :
         {"PRAGMA journal_mode = WAL", synchronous,
          "CREATE TABLE IF NOT EXISTS spool (id INTEGER PRIMARY KEY AUTOINCREMENT, "
          "target TEXT NOT NULL, run TEXT NOT NULL, unit INTEGER NOT NULL, record TEXT NOT NULL, "
          "spooled TEXT NOT NULL, UNIQUE (target, run, unit))"}) {
        if (!query.exec(QLatin1String(statement))) {
            *error = failed(path, recordschema::reason(query.lastError()));
            query = QSqlQuery();
            close();
            return false;
        }
    }
    return true;
}

void RecordSpool::close()
{
    if (connection.isEmpty())
        return;
    QSqlDatabase::database(connection, false).close();
    QSqlDatabase::removeDatabase(connection);
    connection.clear();
}

QSqlDatabase RecordSpool::database() const
{
    return QSqlDatabase::database(connection, false);
}

bool RecordSpool::put(const QJsonObject &record, QString *error)
{
    QSqlQuery query(database());
    query.prepare(
        QStringLiteral("INSERT OR REPLACE INTO spool (target, run, unit, record, spooled) "
                       "VALUES (?, ?, ?, ?, ?)"));
    query.addBindValue(target);
    query.addBindValue(record.value(QLatin1String("run")).toString());
    query.addBindValue(qint64(record.value(QLatin1String("unit")).toDouble()));
    query.addBindValue(QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact)));
    query.addBindValue(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    if (query.exec())
        return true;
    *error = failed(path, recordschema::reason(query.lastError()));
    return false;
}

int RecordSpool::waiting(QString *error) const
{
    if (connection.isEmpty())
        return 0;
    QSqlQuery query(database());
    query.prepare(QStringLiteral("SELECT count(*) FROM spool WHERE target = ?"));
    query.addBindValue(target);
    if (query.exec() && query.next())
        return query.value(0).toInt();
    // A spool opened to read that was never written has no table yet.
    if (!database().tables().contains(QLatin1String("spool")))
        return 0;
    if (error)
        *error = failed(path, recordschema::reason(query.lastError()));
    return -1;
}

QList<RecordSpool::Entry> RecordSpool::after(qint64 after, int limit, QString *error) const
{
    QList<Entry> entries;
    QSqlQuery query(database());
    query.setForwardOnly(true);
    query.prepare(QStringLiteral(
        "SELECT id, record FROM spool WHERE target = ? AND id > ? ORDER BY id LIMIT ?"));
    query.addBindValue(target);
    query.addBindValue(after);
    query.addBindValue(limit);
    if (!query.exec()) {
        if (database().tables().contains(QLatin1String("spool")))
            *error = failed(path, recordschema::reason(query.lastError()));
        return entries;
    }
    while (query.next())
        entries.append({query.value(0).toLongLong(),
                        QJsonDocument::fromJson(query.value(1).toByteArray()).object()});
    return entries;
}

bool RecordSpool::remove(qint64 id, QString *error)
{
    QSqlQuery query(database());
    query.prepare(QStringLiteral("DELETE FROM spool WHERE id = ?"));
    query.addBindValue(id);
    if (query.exec())
        return true;
    *error = failed(path, recordschema::reason(query.lastError()));
    return false;
}
