#ifndef RECORDTARGET_H
#define RECORDTARGET_H

#include <QList>
#include <QSqlDatabase>
#include <QString>

#include <utility>

// Where a station's records go, as --db names it: nowhere ("none"), an
// SQLite file (a path; nothing given: the default database), or a
// PostgreSQL server named as libpq users name one:
//   postgresql://[USER@][HOST][:PORT][/DB][?KEY=VALUE&...]
// HOST may be a socket directory, percent-encoded (%2Fvar%2Frun%2Fpostgresql)
// or as ?host=/var/run/postgresql; what is left out comes from libpq (PGHOST,
// PGUSER, a ?service= entry). A password is never taken: libpq reads it from
// ~/.pgpass, PGPASSFILE or a service file, so it is never on a command line.
class RecordTarget
{
public:
    enum Kind { None, Sqlite, Postgres };

    // false with the reason for a name that cannot be used; a name that
    // carries a password is refused without repeating any of it.
    static bool parse(const QString &dbName, RecordTarget *target, QString *error);
    // GenericDataLocation/pelkoupdate/records.sqlite
    // (~/.local/share/pelkoupdate/records.sqlite on Linux).
    static QString defaultDatabasePath();
    // The spool of records on their way to a server: XDG_STATE_HOME, else
    // ~/.local/state, /pelkoupdate/spool.sqlite; elsewhere beside the default
    // database.
    static QString spoolPath();

    Kind kind = None;
    bool isDefault = false; // no --db given
    QString path;           // Sqlite: absolute
    // Postgres; empty or -1: libpq's default.
    QString host;
    int port = -1;
    QString user;
    QString database;
    QList<std::pair<QString, QString>> options; // further libpq keywords and values

    // The target as it may be shown and as the spool knows it: the name
    // written out again (it never holds a password).
    QString name() const;
    // A connection to it for the calling thread, not yet opened; Qt SQL
    // connections belong to the thread that made them.
    // An SQLite file held by another writer is waited for busyMs.
    QSqlDatabase addConnection(const QString &connectionName, int busyMs = 5000) const;
    // false, naming the package that brings it, when Qt's driver for this
    // kind of database is not installed.
    bool hasDriver(QString *error) const;

private:
    bool parsePostgres(const QString &rest, QString *error);
    bool takeOption(const QString &key, const QString &value, QString *error);
};

#endif
