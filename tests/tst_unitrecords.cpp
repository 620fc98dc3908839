#include "pgserver.h"
#include "recordstore.h"
#include "simrun.h"
#include "updateraccess.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTest>
#include <QXmlStreamReader>

#include <memory>
#include <vector>

using testing::pattern;

// A line's records in a database several stations share, as a quality
// engineer reads them back: every unit once, whatever the server did.
class TestUnitRecords : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    PgServer server;
    QString lineRun; // the run the line's records belong to
    static QByteArray records(const QStringList &arguments, int *exitCode = nullptr)
    {
        QProcess reader;
        reader.start(qEnvironmentVariable("PELKOUPDATE_BIN"), QStringList{"--records"} + arguments);
        reader.waitForFinished(30000);
        if (exitCode)
            *exitCode = reader.exitCode();
        return reader.readAllStandardOutput();
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(server.start("local all all trust\n", &error), qPrintable(error));
    }

    // Two bays of four units; the server is stopped as by a crash after the
    // first results and started again a few units later: the line goes on,
    // says so, and the database ends with every unit, once.
    void serverAwayMidLine()
    {
        std::vector<Sim> sims;
        for (int bay = 0; bay < 2; ++bay)
            sims.emplace_back(QStringList{"--units", "4", "--away-ms", "600"});
        QProcess updater;
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      {"-platform", "offscreen", "--station", "--download", "--json", "--file",
                       testing::writeFile(dir, "fw.plk", pattern(1024, 9)), "--count", "8",
                       "--leave-seconds", "0.3", "--timeout", "5", "--station-name", "line-a",
                       "--db", server.dbName(PgServer::superuser, "postgres"), "--port", sims[0].port,
                       "--port", sims[1].port});
        QByteArray out;
        int results = 0;
        bool stopped = false, restarted = false;
        QVERIFY(testing::waitFor([&] {
            out += updater.readAllStandardOutput();
            results = int(out.count("\"event\":\"result\""));
            if (results >= 2 && !stopped)
                stopped = server.stop();
            if (results >= 5 && stopped && !restarted) {
                QString error;
                restarted = server.start("local all all trust\n", &error);
            }
            return updater.state() == QProcess::NotRunning;
        }, 60000));
        out += updater.readAllStandardOutput();
        const QString said = QString::fromLocal8Bit(updater.readAllStandardError());
        for (Sim &s : sims)
            s.process->kill(), s.process->waitForFinished();
        QVERIFY(stopped && restarted);
        QCOMPARE(updater.exitCode(), 0);
        QVERIFY2(said.contains("database away: "), qPrintable(said));
        QSet<bool> told;
        for (const QByteArray &line : out.split('\n')) {
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            if (event.value("event") == "db")
                told += event.value("away").toBool();
            if (event.value("event") == "result")
                lineRun = event.value("run").toString();
        }
        QVERIFY(told.contains(true)); // and back, if the line outlived the retries' wait
        int exitCode = -1;
        const QList<QByteArray> rows = records({"--db", server.dbName(PgServer::superuser, "postgres"),
                                                "--format", "json"}, &exitCode).split('\n');
        QCOMPARE(exitCode, 0);
        QSet<QString> units;
        for (const QByteArray &row : rows) {
            const QJsonObject unit = QJsonDocument::fromJson(row).object();
            if (!unit.isEmpty())
                units += unit.value("run").toString() + '/' + QString::number(unit.value("unit").toInt());
        }
        QCOMPARE(units.size(), 8);
        QCOMPARE(rows.count(QByteArray()) , 1); // 8 rows and the empty rest: none doubled
    }

    // A database the station may read but not write, or one file for both
    // the log and the database, would lose the first unit's record after
    // the unit was flashed: refused at start, before any unit.
    void unusableRecordsAtStart_data()
    {
        QTest::addColumn<bool>("readOnly");
        QTest::newRow("a database it may not write") << true;
        QTest::newRow("the log and the database one file") << false;
    }
    void unusableRecordsAtStart()
    {
        QFETCH(bool, readOnly);
        QTemporaryDir own;
        QVERIFY(QFile::setPermissions(own.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                      | QFileDevice::ReadOther | QFileDevice::ExeOther));
        const QString db = own.filePath("records.sqlite");
        {
            RecordStore made; // a database as a station before made it
            QString error;
            QVERIFY2(made.open(db, &error), qPrintable(error));
        }
        QStringList command{qEnvironmentVariable("PELKOUPDATE_BIN"), "-platform", "offscreen", "--station",
                            "--download", "--file", testing::writeFile(own, "fw.plk", pattern(64)),
                            "--port", own.filePath("none-yet"), "--db", db};
        if (readOnly) {
            QVERIFY(QFile::setPermissions(db, QFileDevice::ReadOwner | QFileDevice::ReadOther));
            // Root may write any file: as root, the station runs as the tests' own user,
            // in a folder it may write (only the file is read-only).
            if (::geteuid() == 0) {
                const passwd *user = ::getpwnam(PgServer::serverUser);
                QVERIFY(user);
                for (const QString &path : {own.path(), db})
                    QCOMPARE(::chown(QFile::encodeName(path).constData(), user->pw_uid, user->pw_gid), 0);
                command = QStringList{"runuser", "-u", PgServer::serverUser, "--"} + command;
            }
        } else {
            command << "--log" << db;
        }
        QProcess station;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", own.filePath("state"));
        station.setProcessEnvironment(env);
        station.start(command.takeFirst(), command);
        QVERIFY(station.waitForFinished(10000));
        QCOMPARE(station.exitCode(), 3);
        const QString err = QString::fromLocal8Bit(station.readAllStandardError());
        QVERIFY2(err.contains(readOnly ? "readonly database" : "is the database"), qPrintable(err));
    }

    // Another writer holds the SQLite file (a query tool, a second
    // station): the record waits in the spool at once, no bay held up, and
    // goes in once the file is free.
    void databaseHeldByAnother()
    {
        QTemporaryDir own;
        qputenv("XDG_STATE_HOME", QFile::encodeName(own.filePath("state")));
        const QString db = own.filePath("held.sqlite");
        RecordStore store;
        store.setRetryDelays(100, 200);
        QString error;
        QVERIFY2(store.open(db, &error), qPrintable(error));
        {
            QSqlDatabase other = QSqlDatabase::addDatabase("QSQLITE", "other writer");
            other.setDatabaseName(db);
            QVERIFY(other.open());
            QSqlQuery hold(other);
            QVERIFY(hold.exec("BEGIN IMMEDIATE"));
            QElapsedTimer took;
            took.start();
            QVERIFY2(store.add(QJsonObject{{"run", "r1"}, {"unit", 1}, {"outcome", "updated"}}, &error), qPrintable(error));
            QVERIFY(took.elapsed() < 2000);
            QCOMPARE(store.waiting(), 1);
            QVERIFY(hold.exec("ROLLBACK"));
            QVERIFY(testing::waitFor([&] { return store.waiting() == 0; }, 10000));
            QVERIFY(hold.exec("SELECT count(*) FROM units") && hold.next());
            QCOMPARE(hold.value(0).toInt(), 1);
        }
        QSqlDatabase::removeDatabase("other writer");
        qunsetenv("XDG_STATE_HOME");
    }

    // Read back on the command line, in each form, choosing by station
    // (named as --station NAME there) and by image.
    void recordsOnTheCommandLine()
    {
        if (lineRun.isEmpty())
            QSKIP("no line's records to read");
        const QString db = server.dbName(PgServer::superuser, "postgres");
        QCOMPARE(records({"--db", db, "--format", "csv"}).count('\n'), 9); // a header and 8
        QCOMPARE(records({"--db", db, "--format", "json", "--station", "line-a"}).count('\n'), 8);
        QCOMPARE(records({"--db", db, "--format", "json", "--station", "another"}).count('\n'), 0);
        QCOMPARE(records({"--db", db, "--format", "json", "--since", "2000-01-01", "--image",
                          QString::fromLatin1(QCryptographicHash::hash(pattern(1024, 9), QCryptographicHash::Sha256).toHex())})
                     .count('\n'), 8);
        QXmlStreamReader junit(records({"--db", db, "--format", "junit"}));
        int cases = 0;
        while (!junit.atEnd())
            cases += junit.readNext() == QXmlStreamReader::StartElement && junit.name() == u"testcase";
        QVERIFY2(!junit.hasError(), qPrintable(junit.errorString()));
        QCOMPARE(cases, 8);
        const QString table = QString::fromUtf8(records({"--db", db}));
        QVERIFY2(table.contains("line-a") && table.contains("100"), qPrintable(table));
        int exitCode = -1;
        records({"--db", db, "--format", "yaml"}, &exitCode);
        QCOMPARE(exitCode, 64);
    }
};

QTEST_GUILESS_MAIN(TestUnitRecords)
#include "tst_unitrecords.moc"
