#ifndef PGSERVER_H
#define PGSERVER_H

// A PostgreSQL server of the tests' own, from Debian's packages: initdb
// into a temporary directory, listening only on a socket there, so that it
// meets no other server. initdb and postgres refuse to run as root; as root
// they run as the system user `make test-deps` adds.

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <unistd.h>

class PgServer
{
public:
    static constexpr const char *serverUser = "pelkotest";
    static constexpr const char *superuser = "pelko";
    static constexpr int port = 5432; // on a socket of its own directory

    ~PgServer() { stop(); }

    // initdb at the first start; hba is written to pg_hba.conf before it.
    bool start(const QString &hba, QString *error)
    {
        if (!dir.isValid() || !findTools(error) || !giveDirectory(error))
            return false;
        if (!QFile::exists(dataPath()) && !run("initdb",
                                               {"-D", dataPath(), "-U", superuser, "-A", "trust",
                                                "-E", "UTF8", "--locale=C", "-N"},
                                               error))
            return false;
        QFile file(dataPath() + "/pg_hba.conf");
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(hba.toUtf8()) < 0) {
            *error = "cannot write pg_hba.conf: " + file.errorString();
            return false;
        }
        file.close();
        const QString options =
            QString("-k '%1' -c listen_addresses='' -p %2 -c fsync=off").arg(dir.path()).arg(port);
        running = run("pg_ctl",
                      {"-D", dataPath(), "-l", dir.path() + "/server.log", "-w", "-t", "30", "-o",
                       options, "start"},
                      error);
        return running;
    }
    // As a crash or a pulled cable would: no goodbye to the clients.
    bool stop(QString *error = nullptr)
    {
        if (!running)
            return true;
        QString why;
        running = !run("pg_ctl", {"-D", dataPath(), "-m", "immediate", "-w", "stop"}, &why);
        if (error)
            *error = why;
        return !running;
    }
    QString dbName(const QString &user, const QString &database) const
    {
        // Built by hand: an encoded path is full of %2F, which arg() would fill.
        return "postgresql://" + user + '@' +
               QString::fromUtf8(QUrl::toPercentEncoding(dir.path())) + ':' +
               QString::number(port) + '/' + database;
    }
    QString socketDirectory() const { return dir.path(); }

private:
    QString dataPath() const { return dir.path() + "/data"; }
    bool findTools(QString *error)
    {
        if (!bin.isEmpty())
            return true;
        QStringList versions =
            QDir("/usr/lib/postgresql").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        std::sort(versions.begin(), versions.end(),
                  [](const QString &a, const QString &b) { return a.toInt() < b.toInt(); });
        for (auto v = versions.crbegin(); v != versions.crend(); ++v)
            if (QFile::exists("/usr/lib/postgresql/" + *v + "/bin/initdb"))
                bin = "/usr/lib/postgresql/" + *v + "/bin/";
        if (bin.isEmpty())
            *error = "no PostgreSQL server in /usr/lib/postgresql (make test-deps installs it)";
        return !bin.isEmpty();
    }
    bool giveDirectory(QString *error)
    {
        if (::geteuid() != 0)
            return true;
        const passwd *user = ::getpwnam(serverUser);
        if (!user) {
            *error =
                QString("no user %1 to run PostgreSQL as (make test-deps adds it)").arg(serverUser);
            return false;
        }
        if (::chown(QFile::encodeName(dir.path()).constData(), user->pw_uid, user->pw_gid) != 0) {
            *error = "cannot give the server its directory: " +
                     QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        return true;
    }
    bool run(const QString &tool, const QStringList &arguments, QString *error)
    {
        QProcess process;
        process.setWorkingDirectory(dir.path());
        process.setProcessChannelMode(QProcess::MergedChannels);
        if (::geteuid() == 0)
            process.start("runuser", QStringList{"-u", serverUser, "--", bin + tool} + arguments);
        else
            process.start(bin + tool, arguments);
        if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
            process.exitCode() == 0)
            return true;
        *error =
            tool + " failed: " + QString::fromLocal8Bit(process.readAll()) + process.errorString();
        return false;
    }

    QTemporaryDir dir;
    QString bin;
    bool running = false;
};

#endif
