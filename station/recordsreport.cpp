#include "recordsreport.h"

#include "recordformats.h"
#include "recordschema.h"
#include "recordspool.h"
#include "recordtarget.h"

#include <QDateTime>
#include <QFileInfo>
#include <QIODevice>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>

namespace {
constexpr int exitUnusable = 3;
constexpr int exitBadQuery = 64; // as a bad command line

// The filters as bound values, since in the stored form (UTC, ms).
struct Filter
{
    QString since;
    QString station;
    QString imagePrefix;
};

bool parseSince(const QString &text, QString *since, QString *error)
{
    if (text.isEmpty())
        return true;
    QDateTime time;
    const QDate day = QDate::fromString(text, Qt::ISODate);
    if (day.isValid() && text.size() == 10)
        time = day.startOfDay();
    else
        time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid()) {
        *error = QStringLiteral("--since: \"%1\" is neither a date (2026-12-09) nor a time "
                                "(2026-12-09T10:00:00Z)")
                     .arg(text);
        return false;
    }
    *since = time.toUTC().toString(Qt::ISODateWithMs);
    return true;
}

bool makeFilter(const RecordsQuery &query, Filter *filter, QString *error)
{
    static const QStringList formats{QStringLiteral("table"), QStringLiteral("json"),
                                     QStringLiteral("csv"), QStringLiteral("junit")};
    if (!formats.contains(query.format)) {
        *error =
            QStringLiteral("--format: \"%1\" is none of table, json, csv, junit").arg(query.format);
        return false;
    }
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{6,64}$"));
    const QString image = query.image.toLower();
    if (!image.isEmpty() && !hex.match(image).hasMatch()) {
        *error =
            QStringLiteral("--image: \"%1\" is not a SHA-256, nor its first 6 or more hex digits")
                .arg(query.image);
        return false;
    }
    filter->station = query.station;
    filter->imagePrefix = image;
    return parseSince(query.since, &filter->since, error);
}

QString selectStatement(recordschema::Dialect dialect, const Filter &filter, QVariantList *values)
{
    QStringList conditions;
    if (!filter.since.isEmpty()) {
        conditions.append(QStringLiteral("\"started\" >= ?"));
        values->append(filter.since);
    }
    if (!filter.station.isEmpty()) {
        conditions.append(QStringLiteral("\"station\" = ?"));
        values->append(filter.station);
    }
    if (!filter.imagePrefix.isEmpty()) {
        conditions.append(QStringLiteral("\"image_sha256\" LIKE ?"));
        values->append(filter.imagePrefix + QLatin1Char('%'));
    }
    QString statement =
        QStringLiteral("SELECT %1 FROM units").arg(recordschema::selectList(dialect));
    if (!conditions.isEmpty())
        statement += QLatin1String(" WHERE ") + conditions.join(QLatin1String(" AND "));
    return statement + QLatin1String(" ORDER BY \"started\", \"run\", \"unit\"");
}

bool select(QSqlDatabase db, recordschema::Dialect dialect, const Filter &filter,
            QList<QJsonObject> *rows, QString *error)
{
    QVariantList values;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (query.prepare(selectStatement(dialect, filter, &values))) {
        recordschema::bindValues(query, values);
        if (query.exec()) {
            while (query.next())
                rows->append(recordschema::row(query));
            return true;
        }
    }
    *error = recordschema::reason(query.lastError());
    return false;
}

// Opens the connection, reads, and lets it go again.
bool readDatabase(const RecordTarget &target, const QString &options, const Filter &filter,
                  QList<QJsonObject> *rows, QString *error)
{
    const QString name = recordschema::connectionName("report");
    bool read = false;
    {
        QSqlDatabase db = target.addConnection(name);
        if (!options.isEmpty())
            db.setConnectOptions(options);
        const auto dialect = target.kind == RecordTarget::Postgres ? recordschema::Dialect::Postgres
                                                                   : recordschema::Dialect::Sqlite;
        if (!db.open())
            *error = recordschema::reason(db.lastError());
        else if (target.kind == RecordTarget::Sqlite && target.path != QLatin1String(":memory:") &&
                 !db.tables().contains(QLatin1String("units")))
            *error = QStringLiteral("it holds no units table");
        else
            read = select(db, dialect, filter, rows, error);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return read;
}

// The spool's records for this server, read through a table of the same
// schema in memory, so that the same filters apply.
bool readSpool(const RecordTarget &server, const Filter &filter, QList<QJsonObject> *rows,
               QString *error)
{
    RecordSpool spool;
    if (!spool.openToRead(RecordTarget::spoolPath(), server.name(), error))
        return false;
    if (!spool.isOpen())
        return true;
    const QList<RecordSpool::Entry> entries =
        spool.after(0, std::numeric_limits<int>::max(), error);
    if (entries.isEmpty())
        return error->isEmpty();
    const QString name = recordschema::connectionName("report-spool");
    bool read = false;
    {
        QSqlDatabase memory = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        memory.setDatabaseName(QStringLiteral(":memory:"));
        if (memory.open() && recordschema::prepare(memory, recordschema::Dialect::Sqlite, error)) {
            QSqlQuery upsert(memory);
            upsert.prepare(recordschema::upsertStatement());
            for (const RecordSpool::Entry &entry : entries) {
                recordschema::bindValues(upsert, recordschema::values(entry.record));
                upsert.exec();
            }
            read = select(memory, recordschema::Dialect::Sqlite, filter, rows, error);
        }
        memory.close();
    }
    QSqlDatabase::removeDatabase(name);
    return read;
}

// A spooled record is newer than the server's row of the same unit.
void merge(QList<QJsonObject> *rows, const QList<QJsonObject> &spooled)
{
    const auto key = [](const QJsonObject &row) {
        return row.value(QLatin1String("run")).toString() + QLatin1Char('\n') +
               QString::number(row.value(QLatin1String("unit")).toInteger());
    };
    QHash<QString, qsizetype> index;
    for (qsizetype i = 0; i < rows->size(); ++i)
        index.insert(key(rows->at(i)), i);
    for (const QJsonObject &row : spooled) {
        const auto found = index.constFind(key(row));
        if (found != index.constEnd())
            (*rows)[*found] = row;
        else
            rows->append(row);
    }
    std::stable_sort(rows->begin(), rows->end(), [](const QJsonObject &a, const QJsonObject &b) {
        return a.value(QLatin1String("started")).toString() <
               b.value(QLatin1String("started")).toString();
    });
}

void note(QIODevice *err, const QString &text)
{
    err->write(text.toUtf8() + '\n');
}

int readServer(const RecordTarget &target, const Filter &filter, QList<QJsonObject> *rows,
               QIODevice *err)
{
    QString error;
    QList<QJsonObject> spooled;
    const bool spoolRead = readSpool(target, filter, &spooled, &error);
    if (!spoolRead)
        note(err, QStringLiteral("cannot read the records waiting in %1").arg(error.trimmed()));
    if (!readDatabase(target, QString(), filter, rows, &error)) {
        note(err, QStringLiteral("database away: cannot read %1: %2")
                      .arg(target.name(), error.trimmed()));
        if (!spooled.isEmpty())
            note(err, QStringLiteral("%1 of the records asked for are waiting in %2")
                          .arg(spooled.size())
                          .arg(RecordTarget::spoolPath()));
        return exitUnusable;
    }
    if (!spooled.isEmpty()) {
        note(err,
             QStringLiteral("%1 of these records are not on the server yet: they are read from %2")
                 .arg(spooled.size())
                 .arg(RecordTarget::spoolPath()));
        merge(rows, spooled);
    }
    return 0;
}

int readFile(const RecordTarget &target, const Filter &filter, QList<QJsonObject> *rows,
             QIODevice *err)
{
    if (!QFileInfo(target.path).isFile()) {
        // Nothing was recorded on this machine yet: an empty report.
        if (target.isDefault && !QFileInfo::exists(target.path)) {
            note(err, QStringLiteral("no records yet: %1 does not exist").arg(target.path));
            return 0;
        }
        note(err, QStringLiteral("cannot read the records in %1: %2")
                      .arg(target.path, QFileInfo::exists(target.path)
                                            ? QStringLiteral("not a regular file")
                                            : QStringLiteral("no such file")));
        return exitUnusable;
    }
    QString error;
    if (readDatabase(target, QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000;QSQLITE_OPEN_READONLY"),
                     filter, rows, &error))
        return 0;
    note(err, QStringLiteral("cannot read the records in %1: %2").arg(target.path, error));
    return exitUnusable;
}
} // namespace

bool checkRecordsQuery(const RecordsQuery &query, QString *error)
{
    RecordTarget target;
    Filter filter;
    if (!RecordTarget::parse(query.db, &target, error) || !makeFilter(query, &filter, error))
        return false;
    if (target.kind == RecordTarget::None) {
        *error = QStringLiteral("--records: --db none keeps no records to read");
        return false;
    }
    return true;
}

int writeRecordsReport(const RecordsQuery &query, QIODevice *out, QIODevice *err)
{
    RecordTarget target;
    Filter filter;
    QString error;
    if (!checkRecordsQuery(query, &error) || !RecordTarget::parse(query.db, &target, &error) ||
        !makeFilter(query, &filter, &error)) {
        note(err, error);
        return exitBadQuery;
    }
    if (!target.hasDriver(&error)) {
        note(err, error);
        return exitUnusable;
    }
    QList<QJsonObject> rows;
    const int code = target.kind == RecordTarget::Postgres ? readServer(target, filter, &rows, err)
                                                           : readFile(target, filter, &rows, err);
    if (code != 0)
        return code;
    if (query.format == QLatin1String("json"))
        recordformats::jsonLines(rows, out);
    else if (query.format == QLatin1String("csv"))
        recordformats::csv(rows, out);
    else if (query.format == QLatin1String("junit"))
        recordformats::junit(rows, out);
    else
        recordformats::table(rows, out);
    return 0;
}
