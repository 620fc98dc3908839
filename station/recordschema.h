#ifndef RECORDSCHEMA_H
#define RECORDSCHEMA_H

#include <QJsonObject>
#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

#include <array>

class QSqlError;
class QSqlQuery;

// The table a unit's record is kept in, the same in SQLite and PostgreSQL:
// one row a unit, keyed by (run, unit), its columns named as the result's
// fields. Every value goes in bound, never written into the statement.
namespace recordschema {

enum class Dialect { Sqlite, Postgres };
enum class Type { Text, Integer, Real, Time };

struct Column
{
    const char *name;
    Type type;
    const char *field;  // in the result object
    const char *within; // the object the field is in, or nullptr
};

constexpr std::array<Column, 29> columns{{
    {"run", Type::Text, "run", nullptr},
    {"unit", Type::Integer, "unit", nullptr},
    {"try", Type::Integer, "try", nullptr},
    {"bay", Type::Integer, "bay", nullptr},
    {"port", Type::Text, "port", nullptr},
    {"adapter_vid", Type::Text, "vid", "adapter"},
    {"adapter_pid", Type::Text, "pid", "adapter"},
    {"adapter_serial", Type::Text, "serial", "adapter"},
    {"usb_path", Type::Text, "usb_path", "adapter"},
    {"station", Type::Text, "station", nullptr},
    {"host", Type::Text, "host", nullptr},
    {"operator", Type::Text, "operator", nullptr},
    {"tool_version", Type::Text, "tool_version", nullptr},
    {"image", Type::Text, "image", nullptr},
    {"image_sha256", Type::Text, "sha256", nullptr},
    {"file_sha256", Type::Text, "file_sha256", nullptr},
    {"firmware", Type::Text, "firmware", nullptr},
    {"hardware", Type::Text, "hardware", nullptr},
    {"firmware_after", Type::Text, "firmware_after", nullptr},
    {"outcome", Type::Text, "outcome", nullptr},
    {"exit_code", Type::Integer, "exit_code", nullptr},
    {"reconnects", Type::Integer, "reconnects", nullptr},
    {"started", Type::Time, "started", nullptr},
    {"ended", Type::Time, "ended", nullptr},
    {"seconds", Type::Real, "seconds", nullptr},
    {"words_sent", Type::Integer, "words_sent", nullptr},
    {"bytes_covered", Type::Integer, "bytes_covered", nullptr},
    {"image_size", Type::Integer, "image_size", nullptr},
    {"reason", Type::Text, "reason", nullptr},
}};

// The version this program writes; schema_version holds the database's.
int version();

// Creates the tables where missing and brings an older schema up to this
// version, in one transaction that other stations wait for; false, with
// the reason, for a database of a newer schema or one that cannot be used.
bool prepare(QSqlDatabase &db, Dialect dialect, QString *error);

// false when the result has no run or unit to key it by.
bool hasKey(const QJsonObject &result, QString *error);
// The result's values in column order; a missing or null field is NULL.
QVariantList values(const QJsonObject &result);
// INSERT ... ON CONFLICT (run, unit) DO UPDATE: the last try wins.
QString upsertStatement();
void bindValues(QSqlQuery &query, const QVariantList &values);

// The select list for reading rows back, times as ISO 8601 UTC text.
QString selectList(Dialect dialect);
// A row read with selectList, as a JSON object keyed by column.
QJsonObject row(const QSqlQuery &query);

QString quotedName(const char *name);
// Why a statement failed, on one line: the server's words where it has some
// (libpq's run over several lines), else Qt's.
QString reason(const QSqlError &error);

// A connection name of its own for each opening (Qt keeps connections by
// name per process, and a line opens several at once): "pelkoupdate-ROLE-N".
QString connectionName(const char *role);

} // namespace recordschema

#endif
