#include "pgserver.h"
#include "recordstore.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>

#include <csignal>

namespace {
const QString sha = "48b1a824c0de" + QString(52, '7');
const QString fileSha = "9c02" + QString(60, 'e');

QString newRun()
{
    return QString::number(QRandomGenerator::global()->generate64(), 16);
}

// A unit's result as a line produces it.
QJsonObject result(const QString &run, int unit, int tryNumber = 1)
{
    return {{"schema", 2},
            {"event", "result"},
            {"time", "2026-12-09T10:00:03.200Z"},
            {"run", run},
            {"unit", unit},
            {"try", tryNumber},
            {"bay", 2},
            {"port", "ttyUSB0"},
            {"adapter", QJsonObject{{"vid", "0403"},
                                    {"pid", "6001"},
                                    {"serial", "A50285BI"},
                                    {"usb_path", "pci-0000:00:14.0-usb-0:1.2:1.0"}}},
            {"station", "line-a"},
            {"host", "bench-3"},
            {"operator", "ana"},
            {"tool_version", "1.0.0"},
            {"image", "/srv/fw.pelk"},
            {"sha256", sha},
            {"file_sha256", fileSha},
            {"firmware", "01.00"},
            {"hardware", "01.00"},
            {"firmware_after", "02.00"},
            {"outcome", "cancelled"},
            {"exit_code", 1},
            {"reconnects", 1},
            {"started", "2026-12-09T10:00:00.000Z"},
            {"ended", "2026-12-09T10:00:03.200Z"},
            {"seconds", 3.2},
            {"words_sent", 4096},
            {"bytes_covered", 16384},
            {"image_size", 16384},
            {"reason", "Device canncelled, please retry"},
            {"line", QJsonObject{{"frames_sent", 4100}}}};
}

using Row = QMap<QString, QString>;
const QString null = "NULL";

// Every column as text, read apart from the code under test.
Row readRow(QSqlDatabase db, const QString &run, int unit)
{
    const bool postgres = db.driverName() == "QPSQL";
    QSqlQuery query(db);
    if (postgres)
        query.exec("SET TIME ZONE 'UTC'");
    query.exec("SELECT * FROM units LIMIT 0");
    const QSqlRecord columns = query.record();
    QStringList casts;
    for (int i = 0; i < columns.count(); ++i)
        casts << QString("CAST(\"%1\" AS TEXT)").arg(columns.fieldName(i));
    query.prepare(QString("SELECT %1 FROM units WHERE run = ? AND unit = ?").arg(casts.join(", ")));
    query.addBindValue(run);
    query.addBindValue(unit);
    Row row;
    if (!query.exec() || !query.next())
        return row;
    for (int i = 0; i < columns.count(); ++i)
        row.insert(columns.fieldName(i), query.isNull(i) ? null : query.value(i).toString());
    return row;
}

int count(QSqlDatabase db, const QString &what, const QString &run)
{
    QSqlQuery query(db);
    query.prepare(QString("SELECT %1 FROM units WHERE run = ?").arg(what));
    query.addBindValue(run);
    return query.exec() && query.next() ? query.value(0).toInt() : -1;
}
} // namespace

// The record store against real databases: an SQLite file, and a
// PostgreSQL server the test starts, stops and starts again.
class TestRecordStore : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    PgServer server;
    int testNumber = 0;

    QString sqliteDbName() const { return dir.filePath(QString("units-%1.sqlite").arg(testNumber)); }
    QString dbNameFor(const QString &backend) const
    {
        return backend == "sqlite" ? sqliteDbName() : server.dbName(PgServer::superuser, "records");
    }
    // The database as the test reads it, apart from the store.
    QSqlDatabase reader(const QString &backend, const QString &database = "records")
    {
        const QString name = backend + database + QString::number(testNumber);
        if (QSqlDatabase::contains(name))
            return QSqlDatabase::database(name);
        QSqlDatabase db =
            QSqlDatabase::addDatabase(backend == "sqlite" ? "QSQLITE" : "QPSQL", name);
        if (backend == "sqlite") {
            db.setDatabaseName(sqliteDbName());
        } else {
            db.setHostName(server.socketDirectory());
            db.setPort(PgServer::port);
            db.setUserName(PgServer::superuser);
            db.setDatabaseName(database);
        }
        if (!db.open())
            qWarning() << db.lastError().text();
        return db;
    }
    static void backends()
    {
        QTest::addColumn<QString>("backend");
        QTest::newRow("sqlite") << "sqlite";
        QTest::newRow("postgresql") << "postgresql";
    }
    // Open, add, and (for a server) wait for the records to be on it.
    void keep(const QString &backend, const QList<QJsonObject> &results)
    {
        RecordStore store;
        QString error;
        QVERIFY2(store.open(dbNameFor(backend), &error), qPrintable(error));
        for (const QJsonObject &one : results)
            QVERIFY2(store.add(one, &error), qPrintable(error));
        QTRY_COMPARE_WITH_TIMEOUT(store.waiting(), 0, 10000);
        QCOMPARE(store.close(), 0);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        qunsetenv("PGPASSWORD");
        qputenv("XDG_DATA_HOME", dir.filePath("data").toUtf8());
        QString error;
        QVERIFY2(server.start("local all keeper scram-sha-256\nlocal all all trust\n", &error),
                 qPrintable(error));
        QSqlDatabase admin = reader("postgresql", "postgres");
        QSqlQuery query(admin);
        for (const char *statement :
             {"CREATE DATABASE records", "CREATE ROLE keeper LOGIN PASSWORD 'kept-in-a-file'",
              "CREATE DATABASE kept OWNER keeper"})
            QVERIFY2(query.exec(statement), qPrintable(query.lastError().text()));
    }
    void init()
    {
        // A spool of its own for each test.
        ++testNumber;
        qputenv("XDG_STATE_HOME", dir.filePath(QString("state-%1").arg(testNumber)).toUtf8());
    }

    void databaseNames_data()
    {
        QTest::addColumn<QString>("dbName");
        QTest::addColumn<QString>("name"); // empty: refused
        QTest::newRow("none") << "none"
                              << "none";
        QTest::newRow("a file") << "/srv/units.sqlite"
                                << "/srv/units.sqlite";
        QTest::newRow("user, host, port, database") << "postgresql://ana@db.line:5433/records"
                                                    << "postgresql://ana@db.line:5433/records";
        QTest::newRow("host alone") << "postgres://db.line/records"
                                    << "postgresql://db.line/records";
        QTest::newRow("socket directory, encoded")
            << "postgresql://%2Fvar%2Frun%2Fpostgresql/records"
            << "postgresql://%2Fvar%2Frun%2Fpostgresql/records";
        QTest::newRow("socket directory as ?host") << "postgresql:///records?host=/tmp/pg&port=6000"
                                                   << "postgresql://%2Ftmp%2Fpg:6000/records";
        QTest::newRow("IPv6") << "postgresql://[::1]:5432/records"
                              << "postgresql://[::1]:5432/records";
        QTest::newRow("a service") << "postgresql://?service=line"
                                   << "postgresql:///?service=line";
        QTest::newRow("no port number") << "postgresql://db:http/records"
                                        << "";
        QTest::newRow("another scheme") << "mysql://db/records"
                                        << "";
        QTest::newRow("password in the address") << "postgresql://ana:s3cr3t-pw@db/records"
                                                 << "";
        QTest::newRow("password as ?password") << "postgresql://ana@db/records?password=s3cr3t-pw"
                                               << "";
        QTest::newRow("a key's password") << "postgresql://db/records?sslpassword=s3cr3t-pw"
                                          << "";
    }
    void databaseNames()
    {
        QFETCH(QString, dbName);
        QFETCH(QString, name);
        RecordTarget target;
        QString error;
        QCOMPARE(RecordTarget::parse(dbName, &target, &error), !name.isEmpty());
        if (!name.isEmpty()) {
            QCOMPARE(target.name(), name);
            return;
        }
        QVERIFY(!error.isEmpty());
        QVERIFY2(!error.contains("s3cr3t"), qPrintable(error));
        RecordStore store;
        QVERIFY(!store.open(dbName, &error));
        QVERIFY2(!error.contains("s3cr3t"), qPrintable(error));
        QVERIFY(!store.isKeeping());
    }

    void defaultDatabase()
    {
        RecordStore store;
        QString error;
        QVERIFY2(store.open(QString(), &error), qPrintable(error));
        QCOMPARE(store.target().path, dir.filePath("data/pelkoupdate/records.sqlite"));
        QVERIFY2(store.add(result(newRun(), 1), &error), qPrintable(error));
        QVERIFY(QFile::exists(RecordTarget::defaultDatabasePath()));
    }

    void everyColumn_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<bool>("nulls");
        for (const char *backend : {"sqlite", "postgresql"}) {
            QTest::addRow("%s, every field", backend) << QString(backend) << false;
            QTest::addRow("%s, fields null or absent", backend) << QString(backend) << true;
        }
    }
    void everyColumn()
    {
        QFETCH(QString, backend);
        QFETCH(bool, nulls);
        const QString run = newRun();
        QJsonObject unit = result(run, 3);
        if (nulls) {
            unit["bay"] = QJsonValue::Null;
            unit["adapter"] = QJsonObject{{"vid", QJsonValue::Null},
                                          {"pid", QJsonValue::Null},
                                          {"serial", QJsonValue::Null},
                                          {"usb_path", QJsonValue::Null}};
            unit["operator"] = QJsonValue::Null;
            unit["firmware_after"] = QJsonValue::Null;
            unit.remove("reason");
        }
        keep(backend, {unit});
        const bool postgres = backend == "postgresql";
        const Row expected{
            {"run", run},
            {"unit", "3"},
            {"try", "1"},
            {"bay", nulls ? null : "2"},
            {"port", "ttyUSB0"},
            {"adapter_vid", nulls ? null : "0403"},
            {"adapter_pid", nulls ? null : "6001"},
            {"adapter_serial", nulls ? null : "A50285BI"},
            {"usb_path", nulls ? null : "pci-0000:00:14.0-usb-0:1.2:1.0"},
            {"station", "line-a"},
            {"host", "bench-3"},
            {"operator", nulls ? null : "ana"},
            {"tool_version", "1.0.0"},
            {"image", "/srv/fw.pelk"},
            {"image_sha256", sha},
            {"file_sha256", fileSha},
            {"firmware", "01.00"},
            {"hardware", "01.00"},
            {"firmware_after", nulls ? null : "02.00"},
            {"outcome", "cancelled"},
            {"exit_code", "1"},
            {"reconnects", "1"},
            {"started", postgres ? "2026-12-09 10:00:00+00" : "2026-12-09T10:00:00.000Z"},
            {"ended", postgres ? "2026-12-09 10:00:03.2+00" : "2026-12-09T10:00:03.200Z"},
            {"seconds", "3.2"},
            {"words_sent", "4096"},
            {"bytes_covered", "16384"},
            {"image_size", "16384"},
            {"reason", nulls ? null : "Device canncelled, please retry"}};
        QCOMPARE(readRow(reader(backend), run, 3), expected);
        if (!postgres) {
            // A commit is one sync of the log; a rollback journal took four,
            // and a line of 16 bays past 1 % of a unit's time.
            QSqlQuery mode(reader(backend));
            QVERIFY(mode.exec("PRAGMA journal_mode") && mode.next());
            QCOMPARE(mode.value(0).toString(), "wal");
        }
        QSqlQuery version(reader(backend));
        QVERIFY(version.exec("SELECT version FROM schema_version") && version.next());
        QCOMPARE(version.value(0).toInt(), 1);
        QVERIFY(!version.next());
    }

    void lastTryWins_data() { backends(); }
    void lastTryWins()
    {
        QFETCH(QString, backend);
        const QString run = newRun();
        QJsonObject second = result(run, 4, 2);
        second["outcome"] = "updated";
        second["exit_code"] = 0;
        second.remove("reason");
        keep(backend, {result(run, 4, 1), result(run, 5, 1), second});
        QCOMPARE(count(reader(backend), "count(*)", run), 2);
        const Row row = readRow(reader(backend), run, 4);
        QCOMPARE(row.value("try"), "2");
        QCOMPARE(row.value("outcome"), "updated");
        QCOMPARE(row.value("reason"), null);
    }

    void hostileNames_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QString>("name");
        const QStringList names{"ttyUSB0'; DROP TABLE units; --",
                                "a \"quoted\"; name",
                                "line\nbreak\r\n",
                                "C:\\fw\\new\\table.pelk",
                                "?, $1, :name, %s",
                                "usb\x01\x1b[2J",
                                "línea-ß-✓"};
        for (const char *backend : {"sqlite", "postgresql"})
            for (int i = 0; i < names.size(); ++i)
                QTest::addRow("%s, %d", backend, i) << QString(backend) << names[i];
    }
    void hostileNames()
    {
        QFETCH(QString, backend);
        QFETCH(QString, name);
        const QString run = newRun();
        QJsonObject unit = result(run, 1);
        unit["port"] = name;
        unit["image"] = "/srv/" + name + ".pelk";
        unit["station"] = name;
        unit["adapter"] = QJsonObject{{"serial", name}};
        keep(backend, {unit, result(run, 2)});
        const Row row = readRow(reader(backend), run, 1);
        QCOMPARE(row.value("port"), name);
        QCOMPARE(row.value("image"), "/srv/" + name + ".pelk");
        QCOMPARE(row.value("station"), name);
        QCOMPARE(row.value("adapter_serial"), name);
        QCOMPARE(count(reader(backend), "count(*)", run), 2);
    }

    void roleThatOnlyWritesRows()
    {
        keep("postgresql", {result(newRun(), 1)}); // the tables, made by their owner
        QSqlQuery grant(reader("postgresql"));
        for (const char *statement :
             {"CREATE ROLE writer LOGIN", "GRANT SELECT ON schema_version TO writer",
              "GRANT SELECT, INSERT, UPDATE ON units TO writer"})
            QVERIFY2(grant.exec(statement), qPrintable(grant.lastError().text()));
        const QString run = newRun();
        RecordStore store;
        QString error;
        QVERIFY2(store.open(server.dbName("writer", "records"), &error), qPrintable(error));
        QVERIFY(store.add(result(run, 1), &error));
        QTRY_VERIFY2_WITH_TIMEOUT(store.waiting() == 0, qPrintable(store.awayReason()), 10000);
        QCOMPARE(count(reader("postgresql"), "count(*)", run), 1);
    }

    void newerSchemaRefused()
    {
        {
            QSqlQuery query(reader("sqlite"));
            QVERIFY(query.exec("CREATE TABLE schema_version (version INTEGER NOT NULL)"));
            QVERIFY(query.exec("INSERT INTO schema_version VALUES (99)"));
        }
        RecordStore store;
        QString error;
        QVERIFY(!store.open(sqliteDbName(), &error));
        QVERIFY2(error.contains("newer pelkoupdate (schema version 99"), qPrintable(error));
    }

    void awayMidLineNothingLostNothingDoubled()
    {
        const QString run = newRun();
        RecordStore store;
        store.setRetryDelays(50, 300);
        QSignalSpy away(&store, &RecordStore::awayChanged);
        QString error;
        QVERIFY2(store.open(dbNameFor("postgresql"), &error), qPrintable(error));
        for (int unit = 1; unit <= 3; ++unit)
            QVERIFY(store.add(result(run, unit), &error));
        QTRY_COMPARE_WITH_TIMEOUT(store.waiting(), 0, 10000);
        QVERIFY2(server.stop(&error), qPrintable(error));
        QElapsedTimer adding;
        adding.start();
        for (int unit = 4; unit <= 6; ++unit)
            QVERIFY(store.add(result(run, unit), &error));
        QVERIFY(store.add(result(run, 5, 2), &error)); // a retry while away
        QVERIFY2(adding.elapsed() < 1000, "adding waited on the server");
        QTRY_VERIFY_WITH_TIMEOUT(store.isAway(), 5000);
        QCOMPARE(away.first(), (QVariantList{true, store.waiting()}));
        QCOMPARE(store.waiting(), 3);
        // For "database away: 3 records waiting (reason)" on one line.
        QVERIFY(!store.awayReason().isEmpty());
        QVERIFY2(!store.awayReason().contains('\n'), qPrintable(store.awayReason()));
        QVERIFY2(server.start("local all keeper scram-sha-256\nlocal all all trust\n", &error),
                 qPrintable(error));
        QTRY_COMPARE_WITH_TIMEOUT(store.waiting(), 0, 10000);
        QTRY_VERIFY(!store.isAway());
        QCOMPARE(away.last(), (QVariantList{false, 0}));
        for (int unit = 7; unit <= 8; ++unit)
            QVERIFY(store.add(result(run, unit), &error));
        QCOMPARE(store.close(), 0);
        QSqlDatabase db = reader("postgresql");
        QCOMPARE(count(db, "count(*)", run), 8);
        QCOMPARE(count(db, "count(DISTINCT unit)", run), 8);
        QCOMPARE(readRow(db, run, 5).value("try"), "2");
    }

    void closedWithRecordsWaitingNextRunDeliversThemFirst()
    {
        const QString run = newRun();
        QString error;
        QVERIFY2(server.stop(&error), qPrintable(error));
        {
            RecordStore store;
            QSignalSpy away(&store, &RecordStore::awayChanged);
            QVERIFY2(store.open(dbNameFor("postgresql"), &error), qPrintable(error));
            QVERIFY(store.add(result(run, 1), &error));
            QVERIFY(store.add(result(run, 2), &error));
            QVERIFY(away.wait(5000));
            QCOMPARE(away.first(), (QVariantList{true, 2}));
            QCOMPARE(store.close(), 2);
        }
        QVERIFY2(server.start("local all keeper scram-sha-256\nlocal all all trust\n", &error),
                 qPrintable(error));
        RecordStore store;
        QVERIFY2(store.open(dbNameFor("postgresql"), &error), qPrintable(error));
        QVERIFY(store.add(result(run, 3), &error));
        QTRY_COMPARE_WITH_TIMEOUT(store.waiting(), 0, 10000);
        QCOMPARE(store.close(), 0);
        // Each delivery its own transaction: their ids tell the order.
        QSqlQuery query(reader("postgresql"));
        query.prepare("SELECT unit FROM units WHERE run = ? ORDER BY xmin::text::bigint");
        query.addBindValue(run);
        QVERIFY(query.exec());
        QList<int> order;
        while (query.next())
            order << query.value(0).toInt();
        QCOMPARE(order, (QList<int>{1, 2, 3}));
    }

    void closeNeverWaitsOnAServerThatStoppedAnswering()
    {
        const QString run = newRun();
        RecordStore store;
        QString error;
        QVERIFY2(store.open(dbNameFor("postgresql"), &error), qPrintable(error));
        QVERIFY(store.add(result(run, 1), &error));
        QTRY_COMPARE_WITH_TIMEOUT(store.waiting(), 0, 10000);
        // Its server process frozen: the connection stays, nothing answers.
        QSqlQuery query(reader("postgresql"));
        QVERIFY(
            query.exec("SELECT pid FROM pg_stat_activity WHERE application_name = 'pelkoupdate'"));
        QList<pid_t> frozen;
        while (query.next())
            frozen << query.value(0).toInt();
        QVERIFY(!frozen.isEmpty());
        for (const pid_t pid : std::as_const(frozen))
            ::kill(pid, SIGSTOP);
        QElapsedTimer closing;
        closing.start();
        QVERIFY(store.add(result(run, 2), &error));
        QCOMPARE(store.close(500), 1);
        QVERIFY2(closing.elapsed() < 2000, qPrintable(QString::number(closing.elapsed())));
        for (const pid_t pid : std::as_const(frozen))
            ::kill(pid, SIGCONT);
        // Answered at last, the courier that was let go delivers and ends.
        QTRY_COMPARE_WITH_TIMEOUT(count(reader("postgresql"), "count(*)", run), 2, 5000);
    }

    void lockedTableIsWaitedFor()
    {
        const QString run = newRun();
        keep("postgresql", {result(newRun(), 1)}); // the table is there
        QSqlDatabase dba = reader("postgresql");
        QSqlQuery lock(dba);
        QVERIFY(dba.transaction());
        QVERIFY(lock.exec("LOCK TABLE units IN ACCESS EXCLUSIVE MODE"));
        RecordStore store;
        store.setRetryDelays(100, 300);
        QSignalSpy failed(&store, &RecordStore::deliveryFailed);
        QString error;
        // A short statement timeout of the user's own, after the default.
        const QString dbName = dbNameFor("postgresql") + "?options=-c%20statement_timeout%3D300";
        QVERIFY2(store.open(dbName, &error), qPrintable(error));
        QVERIFY(store.add(result(run, 1), &error));
        QTRY_VERIFY_WITH_TIMEOUT(store.isAway(), 5000);
        QVERIFY2(store.awayReason().contains("statement timeout"), qPrintable(store.awayReason()));
        QVERIFY(dba.commit());
        QTRY_COMPARE_WITH_TIMEOUT(store.waiting(), 0, 5000);
        QCOMPARE(failed.size(), 0);
        QCOMPARE(count(dba, "count(*)", run), 1);
    }

    void passwordOnlyInPgpassFile()
    {
        const QString run = newRun();
        const QString dbName = server.dbName("keeper", "kept");
        QString error;
        qputenv("PGPASSFILE", dir.filePath("no-such-pgpass").toUtf8());
        {
            RecordStore store;
            QVERIFY2(store.open(dbName, &error), qPrintable(error));
            QVERIFY(store.add(result(run, 1), &error));
            QTRY_VERIFY_WITH_TIMEOUT(store.isAway(), 5000);
            QVERIFY2(store.awayReason().contains("password"), qPrintable(store.awayReason()));
            QCOMPARE(store.close(), 1);
        }
        QFile pgpass(dir.filePath("pgpass"));
        QVERIFY(pgpass.open(QIODevice::WriteOnly));
        pgpass.write("*:*:kept:keeper:kept-in-a-file\n");
        pgpass.close();
        QVERIFY(pgpass.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        qputenv("PGPASSFILE", pgpass.fileName().toUtf8());
        RecordStore store;
        QVERIFY2(store.open(dbName, &error), qPrintable(error));
        QTRY_COMPARE_WITH_TIMEOUT(store.waiting(), 0, 10000);
        QVERIFY(!store.isAway());
        store.close();
        qunsetenv("PGPASSFILE");
        QCOMPARE(count(reader("postgresql", "kept"), "count(*)", run), 1);
    }

    void refusedRecordHoldsNoOtherBack()
    {
        const QString run = newRun();
        QJsonObject broken = result(run, 1);
        broken["started"] = "yesterday at ten";
        RecordStore store;
        QSignalSpy failed(&store, &RecordStore::deliveryFailed);
        QString error;
        QVERIFY2(store.open(dbNameFor("postgresql"), &error), qPrintable(error));
        QVERIFY(store.add(broken, &error));
        QVERIFY(store.add(result(run, 2), &error));
        QTRY_COMPARE_WITH_TIMEOUT(count(reader("postgresql"), "count(*)", run), 1, 10000);
        QTRY_COMPARE(failed.size(), 1);
        QVERIFY2(failed.first().first().toString().contains("unit 1 of run " + run),
                 qPrintable(failed.first().first().toString()));
        QVERIFY(!store.isAway());
        QCOMPARE(store.close(), 1);
    }
};

QTEST_GUILESS_MAIN(TestRecordStore)
#include "tst_recordstore.moc"
