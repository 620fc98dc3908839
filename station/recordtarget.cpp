#include "recordtarget.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrl>

namespace {
const QString passwordRefused = QStringLiteral(
    "--db: a PostgreSQL address with a password is refused (a command line is seen by every "
    "user of the machine): put the password in ~/.pgpass, in a file named by PGPASSFILE, or "
    "in a service file (?service=NAME)");

// Connecting never holds the courier longer than this, a server that
// vanishes mid-statement is noticed within seconds, not hours, and a
// statement held up by a lock gives up and is tried again later. The
// server's notices and warnings stay off the station's terminal (libpq
// would print them there); what matters reaches the program as an error.
const QString connectionDefaults = QStringLiteral(
    "connect_timeout=3;keepalives=1;keepalives_idle=5;keepalives_interval=2;keepalives_count=3;"
    "tcp_user_timeout=10000;application_name=pelkoupdate;"
    "options='-c client_min_messages=error -c statement_timeout=15000'");

QString decoded(const QString &text)
{
    return QUrl::fromPercentEncoding(text.toUtf8());
}

// A value as libpq's key=value form takes it.
QString quoted(QString value)
{
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    value.replace(QLatin1Char('\''), QLatin1String("\\'"));
    return QLatin1Char('\'') + value + QLatin1Char('\'');
}

bool isPostgresScheme(const QString &dbName, qsizetype *length)
{
    for (const QLatin1String scheme :
         {QLatin1String("postgresql://"), QLatin1String("postgres://")}) {
        if (dbName.startsWith(scheme, Qt::CaseInsensitive)) {
            *length = scheme.size();
            return true;
        }
    }
    return false;
}

bool parsePort(const QString &text, int *port, QString *error)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 1 || value > 65535) {
        *error = QStringLiteral("--db: the port \"%1\" is not a number from 1 to 65535").arg(text);
        return false;
    }
    *port = value;
    return true;
}
} // namespace

bool RecordTarget::parse(const QString &dbName, RecordTarget *target, QString *error)
{
    *target = RecordTarget();
    qsizetype schemeLength = 0;
    if (dbName == QLatin1String("none"))
        return true;
    if (isPostgresScheme(dbName, &schemeLength)) {
        target->kind = Postgres;
        return target->parsePostgres(dbName.mid(schemeLength), error);
    }
    if (dbName.contains(QLatin1String("://"))) {
        *error = QStringLiteral("--db: only postgresql:// addresses, a file or \"none\" are known");
        return false;
    }
    target->kind = Sqlite;
    target->isDefault = dbName.isEmpty();
    target->path = QFileInfo(dbName.isEmpty() ? defaultDatabasePath() : dbName).absoluteFilePath();
    return true;
}

bool RecordTarget::parsePostgres(const QString &rest, QString *error)
{
    const qsizetype question = rest.indexOf(QLatin1Char('?'));
    const QString address = rest.left(question);
    const qsizetype slash = address.indexOf(QLatin1Char('/'));
    const QString authority = address.left(slash);
    if (slash >= 0)
        database = decoded(address.mid(slash + 1));
    QString hostPort = authority;
    const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        const QString userInfo = authority.left(at);
        if (userInfo.contains(QLatin1Char(':'))) {
            *error = passwordRefused;
            return false;
        }
        user = decoded(userInfo);
        hostPort = authority.mid(at + 1);
    }
    QString portText;
    if (hostPort.startsWith(QLatin1Char('['))) {
        const qsizetype close = hostPort.indexOf(QLatin1Char(']'));
        host = hostPort.mid(1, close - 1);
        if (close > 0 && hostPort.mid(close + 1).startsWith(QLatin1Char(':')))
            portText = hostPort.mid(close + 2);
    } else {
        const qsizetype colon = hostPort.lastIndexOf(QLatin1Char(':'));
        host = decoded(hostPort.left(colon));
        if (colon >= 0)
            portText = hostPort.mid(colon + 1);
    }
    if (!portText.isEmpty() && !parsePort(portText, &port, error))
        return false;
    if (question < 0)
        return true;
    for (const QString &pair : rest.mid(question + 1).split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const qsizetype equals = pair.indexOf(QLatin1Char('='));
        if (!takeOption(decoded(pair.left(equals)),
                        equals < 0 ? QString() : decoded(pair.mid(equals + 1)), error))
            return false;
    }
    return true;
}

bool RecordTarget::takeOption(const QString &key, const QString &value, QString *error)
{
    if (key.contains(QLatin1String("password"), Qt::CaseInsensitive)) {
        *error = passwordRefused;
        return false;
    }
    static const QRegularExpression keyword(QStringLiteral("^[a-z_]+$"));
    if (!keyword.match(key).hasMatch()) {
        *error = QStringLiteral("--db: \"%1\" is not a libpq connection keyword").arg(key);
        return false;
    }
    // Qt hands libpq its options with ';' as the separator.
    if (value.contains(QLatin1Char(';'))) {
        *error = QStringLiteral("--db: the value of %1 cannot hold a ';'").arg(key);
        return false;
    }
    if (key == QLatin1String("host"))
        host = value;
    else if (key == QLatin1String("port"))
        return parsePort(value, &port, error);
    else if (key == QLatin1String("user"))
        user = value;
    else if (key == QLatin1String("dbname"))
        database = value;
    else
        options.append({key, value});
    return true;
}

QString RecordTarget::defaultDatabasePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QLatin1String("/pelkoupdate/records.sqlite");
}

QString RecordTarget::spoolPath()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    // Qt 6.4 has no location for state; this is where the XDG base
    // directories put it.
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty() || QDir::isRelativePath(state))
        state = QDir::homePath() + QLatin1String("/.local/state");
    return state + QLatin1String("/pelkoupdate/spool.sqlite");
#else
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QLatin1String("/pelkoupdate/spool.sqlite");
#endif
}

QString RecordTarget::name() const
{
    switch (kind) {
    case None:
        return QStringLiteral("none");
    case Sqlite:
        return path;
    case Postgres:
        break;
    }
    QString text = QStringLiteral("postgresql://");
    if (!user.isEmpty())
        text += QString::fromUtf8(QUrl::toPercentEncoding(user)) + QLatin1Char('@');
    if (host.contains(QLatin1Char(':')) && !host.contains(QLatin1Char('/')))
        text += QLatin1Char('[') + host + QLatin1Char(']');
    else
        text += QString::fromUtf8(QUrl::toPercentEncoding(host));
    if (port > 0)
        text += QLatin1Char(':') + QString::number(port);
    text += QLatin1Char('/') + QString::fromUtf8(QUrl::toPercentEncoding(database));
    QStringList pairs;
    for (const auto &[key, value] : options)
        pairs.append(key + QLatin1Char('=') + QString::fromUtf8(QUrl::toPercentEncoding(value)));
    if (!pairs.isEmpty())
        text += QLatin1Char('?') + pairs.join(QLatin1Char('&'));
    return text;
}

QSqlDatabase RecordTarget::addConnection(const QString &connectionName, int busyMs) const
{
    if (kind == Sqlite) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyMs));
        return db;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    db.setHostName(host);
    db.setPort(port);
    db.setUserName(user);
    db.setDatabaseName(database);
    // The user's own keywords come last: libpq takes the last of a keyword.
    QString connectOptions = connectionDefaults;
    for (const auto &[key, value] : options)
        connectOptions += QLatin1Char(';') + key + QLatin1Char('=') + quoted(value);
    db.setConnectOptions(connectOptions);
    return db;
}

bool RecordTarget::hasDriver(QString *error) const
{
    if (kind == None)
        return true;
    const bool sqlite = kind == Sqlite;
    if (QSqlDatabase::isDriverAvailable(sqlite ? QStringLiteral("QSQLITE")
                                               : QStringLiteral("QPSQL")))
        return true;
    *error =
        sqlite
            ? QStringLiteral("Qt's SQLite driver is not installed (Debian: libqt6sql6-sqlite)")
            : QStringLiteral("Qt's PostgreSQL driver is not installed (Debian: libqt6sql6-psql)");
    return false;
}
