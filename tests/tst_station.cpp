#include "simrun.h"
#include "updateraccess.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <csignal>

using testing::pattern;

// A row of devices on one port, as on a production line.
class TestStation : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    static QStringList station(const Run &run, const QString &image, const QStringList &more)
    {
        return QStringList{"--port", run.port, "--file", image, "--download", "--station",
                           "--leave-seconds", "0.3", "--timeout", "3"}
               + more;
    }

private slots:
    // Five units, the third one failing: each gets a result, the row goes on,
    // the log holds a line a unit.
    void fiveUnitsOneFailing()
    {
        const QByteArray image = pattern(16384, 21);
        const QString out = dir.filePath("unit");
        const QString log = dir.filePath("station.log");
        Run run({"--units", "5", "--fail-unit", "3", "--away-ms", "600"}, out);
        run.startUpdater(station(run, testing::writeFile(dir, "fw.plk", image),
                                 {"--count", "5", "--log", log}));
        const Result result = run.result();
        QCOMPARE(result.exitCode, 1);
        const QStringList units = result.out.filter(QRegularExpression("^unit \\d: (passed|failed)"));
        QCOMPARE(units.size(), 5);
        QVERIFY2(units[2].startsWith("unit 3: failed (Device canncelled, please retry)"), qPrintable(units[2]));
        QCOMPARE(units[4], QStringLiteral("unit 5: passed (Firmware is updated); tally: 4 passed, 1 failed"));
        QCOMPARE(result.out.last(), QStringLiteral("station: 5 units, 4 passed, 1 failed"));
        QVERIFY(run.sim.waitForFinished(5000));
        QCOMPARE(run.sim.exitCode(), 0);
        for (int unit : {1, 2, 4, 5})
            QCOMPARE(testing::received(out + '.' + QString::number(unit)), image);
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 6); // five and the empty rest
        const QJsonObject third = QJsonDocument::fromJson(lines[2]).object();
        QCOMPARE(third.value("unit").toInt(), 3);
        QCOMPARE(third.value("outcome").toString(), QStringLiteral("cancelled"));
        QCOMPARE(third.value("sha256").toString(),
                 QString(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
        QCOMPARE(third.value("port").toString(), run.port);
        QVERIFY(third.contains("time") && third.contains("firmware_before") && third.contains("seconds"));
    }

    // A device that stays on the fixture (the next one answers at once) is
    // never updated twice; SIGINT between units ends with the tally, and
    // short of --count with the signal's code.
    void deviceThatDoesNotLeave_data()
    {
        QTest::addColumn<QStringList>("more");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("until a signal") << QStringList() << 0;
        QTest::newRow("short of --count") << QStringList{"--count", "5"} << 130;
    }
    void deviceThatDoesNotLeave()
    {
        QFETCH(QStringList, more);
        QFETCH(int, exitCode);
        Run run({"--units", "2", "--away-ms", "0"});
        run.startUpdater(station(run, testing::writeFile(dir, "fw.plk", pattern(4096, 2)), more));
        QByteArray printed;
        QVERIFY(testing::waitFor([&] { return (printed += run.updater.readAllStandardOutput()).contains("tally: 1 passed"); },
                                 10000));
        // Long past the leave time: it is still there, and still not updated again.
        QVERIFY(!testing::waitFor([&] { return (printed += run.updater.readAllStandardOutput()).contains("unit 2"); },
                                  1500));
        ::kill(pid_t(run.updater.processId()), SIGINT);
        const Result result = run.result();
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(result.out.last(), QStringLiteral("station: 1 units, 1 passed, 0 failed"));
        QVERIFY(!run.sim.readAllStandardOutput().contains("unit 2 updated"));
    }

    void badCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("without --download") << QStringList{"--station", "--file", "x.plk"};
        QTest::newRow("two ports") << QStringList{"--station", "--download", "--file", "x.plk", "--port", "a", "--port", "b"};
        QTest::newRow("count zero") << QStringList{"--station", "--download", "--file", "x.plk", "--port", "a", "--count", "0"};
        QTest::newRow("leave time not a number") << QStringList{"--station", "--download", "--file", "x.plk", "--port", "a", "--leave-seconds", "x"};
        QTest::newRow("--log without --station") << QStringList{"--download", "--file", "x.plk", "--port", "a", "--log", "s.log"};
        QTest::newRow("--count without --station") << QStringList{"--download", "--file", "x.plk", "--port", "a", "--count", "5"};
        QTest::newRow("--leave-seconds without --station") << QStringList{"--download", "--file", "x.plk", "--port", "a", "--leave-seconds", "2"};
    }
    void badCommandLine()
    {
        QFETCH(QStringList, arguments);
        QProcess updater;
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"), QStringList{"-platform", "offscreen"} + arguments);
        QVERIFY(updater.waitForFinished(20000));
        QCOMPARE(updater.exitCode(), 64);
    }
};

QTEST_GUILESS_MAIN(TestStation)
#include "tst_station.moc"
