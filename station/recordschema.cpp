#include "recordschema.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>

namespace recordschema {

namespace {
// Taking the schema from version N to N + 1 is the function at N - 1 here;
// a database is always created at version 1 and brought up through them,
// so a new database and an old one that was migrated cannot differ.
using Migration = bool (*)(QSqlQuery &query, Dialect dialect, QString *error);
constexpr std::array<Migration, 0> migrations{};

// Any number: it only has to be the same for every station.
constexpr qint64 schemaLockKey = 0x70656c6b6f;

const char *typeName(Type type, Dialect dialect)
{
    const bool postgres = dialect == Dialect::Postgres;
    switch (type) {
    case Type::Text:
        return "TEXT";
    case Type::Integer:
        return postgres ? "BIGINT" : "INTEGER";
    case Type::Real:
        return postgres ? "DOUBLE PRECISION" : "REAL";
    case Type::Time:
        return postgres ? "TIMESTAMPTZ" : "TEXT";
    }
    return "TEXT";
}

QString createUnits(Dialect dialect)
{
    QStringList definitions;
    for (const Column &column : columns) {
        QString definition = quotedName(column.name) + QLatin1Char(' ') +
                             QLatin1String(typeName(column.type, dialect));
        if (qstrcmp(column.name, "run") == 0 || qstrcmp(column.name, "unit") == 0)
            definition += QLatin1String(" NOT NULL");
        definitions.append(definition);
    }
    definitions.append(QStringLiteral("PRIMARY KEY (\"run\", \"unit\")"));
    return QStringLiteral("CREATE TABLE IF NOT EXISTS units (%1)")
        .arg(definitions.join(QLatin1String(", ")));
}

bool run(QSqlQuery &query, const QString &statement, QString *error)
{
    if (query.exec(statement))
        return true;
    *error = reason(query.lastError());
    return false;
}

bool createVersionOne(QSqlQuery &query, Dialect dialect, QString *error)
{
    return run(query, createUnits(dialect), error) &&
           run(query, QStringLiteral("CREATE INDEX IF NOT EXISTS units_started ON units (started)"),
               error) &&
           run(query, QStringLiteral("INSERT INTO schema_version (version) VALUES (1)"), error);
}

// Asked of the catalogue, not by trying: a station whose role may only
// write rows into tables a DBA made must not need the right to create them.
bool versionOf(QSqlQuery &query, Dialect dialect, int *current, QString *error)
{
    if (!run(query,
             dialect == Dialect::Sqlite
                 ? QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                                  "name = 'schema_version'")
                 : QStringLiteral("SELECT count(*) FROM pg_catalog.pg_class WHERE oid = "
                                  "to_regclass('schema_version')"),
             error))
        return false;
    const bool exists = query.next() && query.value(0).toInt() > 0;
    query.finish();
    *current = 0;
    if (!exists)
        return run(query, QStringLiteral("CREATE TABLE schema_version (version INTEGER NOT NULL)"),
                   error);
    if (!run(query, QStringLiteral("SELECT max(version) FROM schema_version"), error))
        return false;
    *current = query.next() ? query.value(0).toInt() : 0;
    query.finish();
    return true;
}

bool migrate(QSqlQuery &query, Dialect dialect, QString *error)
{
    int current = 0;
    if (!versionOf(query, dialect, &current, error))
        return false;
    if (current == 0) {
        if (!createVersionOne(query, dialect, error))
            return false;
        current = 1;
    }
    if (current > version()) {
        *error =
            QStringLiteral("its records are of a newer pelkoupdate (schema version %1; this one "
                           "knows up to %2)")
                .arg(current)
                .arg(version());
        return false;
    }
    const int found = current;
    for (; current < version(); ++current) {
        if (!migrations[current - 1](query, dialect, error))
            return false;
    }
    if (current == found)
        return true;
    query.prepare(QStringLiteral("UPDATE schema_version SET version = ?"));
    query.addBindValue(current);
    if (query.exec())
        return true;
    *error = reason(query.lastError());
    return false;
}

QVariant nullOf(Type type)
{
    switch (type) {
    case Type::Integer:
        return QVariant(QMetaType(QMetaType::LongLong));
    case Type::Real:
        return QVariant(QMetaType(QMetaType::Double));
    case Type::Text:
    case Type::Time:
        break;
    }
    return QVariant(QMetaType(QMetaType::QString));
}

// A NUL cannot go into PostgreSQL text, and Qt would cut a name there.
QString cleanText(QString text)
{
    text.replace(QChar(0), QChar(QChar::ReplacementCharacter));
    return text;
}

QVariant valueOf(const QJsonValue &value, Type type)
{
    if (value.isNull() || value.isUndefined())
        return nullOf(type);
    switch (type) {
    case Type::Integer:
        if (value.isDouble())
            return QVariant(qint64(value.toDouble()));
        if (value.isString()) {
            bool ok = false;
            const qint64 number = value.toString().toLongLong(&ok);
            return ok ? QVariant(number) : nullOf(type);
        }
        return nullOf(type);
    case Type::Real:
        return value.isDouble() ? QVariant(value.toDouble()) : nullOf(type);
    case Type::Time: {
        // Kept as given; one with an offset other than UTC is written in UTC,
        // so that times compare as text.
        const QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
        if (value.isString() && time.isValid())
            return time.toUTC().toString(Qt::ISODateWithMs);
        break;
    }
    case Type::Text:
        break;
    }
    if (value.isString())
        return cleanText(value.toString());
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 17);
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    return QString::fromUtf8(value.isObject()
                                 ? QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact)
                                 : QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
}
} // namespace

QString reason(const QSqlError &error)
{
    const QString text = error.databaseText().isEmpty() ? error.driverText() : error.databaseText();
    return text.simplified();
}

QString connectionName(const char *role)
{
    static QAtomicInteger<quint64> next;
    return QStringLiteral("pelkoupdate-%1-%2").arg(QLatin1String(role)).arg(next.fetchAndAddRelaxed(1));
}

int version()
{
    return 1 + int(migrations.size());
}

QString quotedName(const char *name)
{
    return QLatin1Char('"') + QLatin1String(name) + QLatin1Char('"');
}

bool prepare(QSqlDatabase &db, Dialect dialect, QString *error)
{
    QSqlQuery query(db);
    // IMMEDIATE and the lock: two stations starting at once never both
    // create or migrate.
    const bool begun =
        dialect == Dialect::Sqlite
            ? run(query, QStringLiteral("BEGIN IMMEDIATE"), error)
            : run(query, QStringLiteral("BEGIN"), error) &&
                  run(query, QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(schemaLockKey),
                      error);
    if (!begun)
        return false;
    if (migrate(query, dialect, error) && run(query, QStringLiteral("COMMIT"), error))
        return true;
    query.exec(QStringLiteral("ROLLBACK"));
    return false;
}

bool hasKey(const QJsonObject &result, QString *error)
{
    const QJsonValue run = result.value(QLatin1String("run"));
    const QJsonValue unit = result.value(QLatin1String("unit"));
    if (run.isString() && !run.toString().isEmpty() && unit.isDouble())
        return true;
    *error = QStringLiteral("a result without its run and unit cannot be kept");
    return false;
}

QVariantList values(const QJsonObject &result)
{
    QVariantList list;
    list.reserve(int(columns.size()));
    for (const Column &column : columns) {
        const QJsonObject &from =
            column.within ? result.value(QLatin1String(column.within)).toObject() : result;
        list.append(valueOf(from.value(QLatin1String(column.field)), column.type));
    }
    return list;
}

QString upsertStatement()
{
    QStringList names;
    QStringList marks;
    QStringList updates;
    for (const Column &column : columns) {
        const QString name = quotedName(column.name);
        names.append(name);
        marks.append(QStringLiteral("?"));
        updates.append(name + QLatin1String(" = excluded.") + name);
    }
    return QStringLiteral("INSERT INTO units (%1) VALUES (%2) ON CONFLICT (\"run\", \"unit\") DO "
                          "UPDATE SET %3")
        .arg(names.join(QLatin1String(", ")), marks.join(QLatin1String(", ")),
             updates.join(QLatin1String(", ")));
}

void bindValues(QSqlQuery &query, const QVariantList &values)
{
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values.at(i));
}

QString selectList(Dialect dialect)
{
    QStringList names;
    for (const Column &column : columns) {
        const QString name = quotedName(column.name);
        if (column.type == Type::Time && dialect == Dialect::Postgres)
            names.append(
                QStringLiteral(
                    "to_char(%1 AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"') AS %1")
                    .arg(name));
        else
            names.append(name);
    }
    return names.join(QLatin1String(", "));
}

QJsonObject row(const QSqlQuery &query)
{
    QJsonObject object;
    for (int i = 0; i < int(columns.size()); ++i) {
        const Column &column = columns[size_t(i)];
        const QVariant value = query.value(i);
        QJsonValue json;
        if (value.isNull())
            json = QJsonValue(QJsonValue::Null);
        else if (column.type == Type::Integer)
            json = value.toLongLong();
        else if (column.type == Type::Real)
            json = value.toDouble();
        else
            json = value.toString();
        object.insert(QLatin1String(column.name), json);
    }
    return object;
}

} // namespace recordschema
