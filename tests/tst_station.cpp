#include "simrun.h"
#include "updateraccess.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

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
        QCOMPARE(third.value("firmware").toString(), QStringLiteral("01.00"));
        QVERIFY(third.contains("time") && third.contains("run") && third.contains("seconds"));
    }

    // Every result on standard output is the very object in the log; every
    // event has its time, the run and, in a station, the unit.
    void recordsAgree()
    {
        const QString log = dir.filePath("agree.log");
        testing::writeFile(dir, "agree.log", "{\"earlier\":\"run, its newline lost\"}");
        Run run({"--units", "2", "--fail-unit", "2", "--away-ms", "600"});
        run.startUpdater(station(run, testing::writeFile(dir, "fw.plk", pattern(4096, 5)),
                                 {"--count", "2", "--log", log, "--json"}));
        const Result result = run.result();
        QCOMPARE(result.exitCode, 1);
        QStringList results;
        QString runId;
        const QRegularExpression time("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$");
        for (const QString &line : result.out) {
            const QJsonObject event = QJsonDocument::fromJson(line.toUtf8()).object();
            QCOMPARE(event.value("schema").toInt(), 2);
            QVERIFY2(time.match(event.value("time").toString()).hasMatch(), qPrintable(line));
            QVERIFY2(event.contains("unit"), qPrintable(line));
            QVERIFY2(!line.contains("\"\""), qPrintable(line)); // null, never ""
            runId = runId.isEmpty() ? event.value("run").toString() : runId;
            QCOMPARE(event.value("run").toString(), runId);
            const QString name = event.value("event").toString();
            if (name == "device" || name == "progress")
                QVERIFY2(event.value("unit").toInt() > 0, qPrintable(line));
            if (name == "result")
                results += line;
        }
        QCOMPARE(results.size(), 2);
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines[0], QByteArray("{\"earlier\":\"run, its newline lost\"}"));
        QCOMPARE(QString::fromUtf8(lines[1]), results[0]);
        QCOMPARE(QString::fromUtf8(lines[2]), results[1]);
        const QJsonObject second = QJsonDocument::fromJson(lines[2]).object();
        for (const char *field : {"unit", "time", "port", "firmware", "hardware", "image", "sha256",
                                  "outcome", "exit_code", "seconds", "words_sent", "bytes_covered"})
            QVERIFY2(!second.value(field).isNull() && !second.value(field).isUndefined(), field);
        QCOMPARE(second.value("outcome").toString(), QStringLiteral("cancelled"));
    }

    // A log that cannot take records is refused before anything is sent,
    // and never blocks: a FIFO without a reader, a device, a directory.
    void logRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("a FIFO with no reader") << "fifo";
        QTest::newRow("a device") << "device";
        QTest::newRow("a directory") << "directory";
    }
    void logRefused()
    {
        QFETCH(QString, kind);
        QString log = kind == "device" ? QStringLiteral("/dev/null") : dir.filePath("log-" + kind);
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(log).constData(), 0600), 0);
        else if (kind == "directory")
            QVERIFY(QDir().mkpath(log));
        pty::Device line;
        QProcess updater;
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      {"-platform", "offscreen", "--port", line.path, "--file",
                       testing::writeFile(dir, "fw.plk", pattern(64)), "--download", "--station",
                       "--log", log});
        QVERIFY(updater.waitForFinished(5000));
        QCOMPARE(updater.exitCode(), 3);
        QVERIFY(line.quietFor(100));
        const QString err = QString::fromLocal8Bit(updater.readAllStandardError());
        QVERIFY2(err.contains("the log " + log + " is not a regular file"), qPrintable(err));
    }

    // A full disk: the unit's result is printed, the station stops after it
    // with the reason, never exit 0.
    void logCannotBeWritten()
    {
        const QString log = testing::writeFile(dir, "full.log", QByteArray(99, ' ') + '\n');
        Run run({"--units", "2", "--away-ms", "600"});
        run.updater.setChildProcessModifier([] {
            const rlimit limit{100, 100}; // the log may not grow
            ::setrlimit(RLIMIT_FSIZE, &limit);
            std::signal(SIGXFSZ, SIG_IGN);
        });
        run.startUpdater(station(run, testing::writeFile(dir, "fw.plk", pattern(4096, 6)),
                                 {"--count", "2", "--log", log}));
        const Result result = run.result();
        QCOMPARE(result.exitCode, 3);
        QVERIFY2(result.out.contains("unit 1: passed (Firmware is updated); tally: 1 passed, 0 failed"),
                 qPrintable(result.out.join('\n')));
        QVERIFY2(result.err.contains("pelkoupdate: cannot write the log " + log + ": "), qPrintable(result.err));
        QVERIFY(!result.out.join('\n').contains("unit 2"));
    }

    // SIGTERM with a unit in hand: its record is kept.
    void interruptedUnitIsLogged()
    {
        const QString log = dir.filePath("interrupted.log");
        Run run({"--units", "2", "--stall-at", "2048"});
        run.startUpdater(station(run, testing::writeFile(dir, "fw.plk", pattern(4096, 7)),
                                 {"--log", log, "--timeout", "30"}));
        QByteArray printed;
        QVERIFY(testing::waitFor([&] { return (printed += run.updater.readAllStandardOutput()).contains("progress 40%"); },
                                 10000));
        ::kill(pid_t(run.updater.processId()), SIGTERM);
        const Result result = run.result();
        QCOMPARE(result.exitCode, 143);
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject entry = QJsonDocument::fromJson(file.readLine()).object();
        QCOMPARE(entry.value("outcome").toString(), QStringLiteral("interrupted"));
        QCOMPARE(entry.value("unit").toInt(), 1);
        QCOMPARE(entry.value("exit_code").toInt(), 143);
    }

    // A unit still there says so with any frame, not only the device-found
    // answer; the operator can say it has gone (SIGUSR1) and the next unit
    // is updated.
    void leavingIsTold()
    {
        pty::Device line;
        QProcess updater;
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      {"-platform", "offscreen", "--port", line.path, "--file",
                       testing::writeFile(dir, "fw.plk", pattern(4)), "--download", "--station",
                       "--leave-seconds", "0.3", "--count", "2"});
        QByteArray printed;
        int updates = 0;
        bool toldByHand = false;
        QElapsedTimer stayed;
        QElapsedTimer running;
        running.start();
        while (updater.state() != QProcess::NotRunning && running.elapsed() < 15000) {
            printed += updater.readAllStandardOutput();
            const QByteArray payload = pty::payloadOf(line.nextFrame(20));
            if (payload.size() != 8)
                continue;
            const quint8 code = quint8(payload[1]);
            const bool gone = printed.contains("the operator says it has left");
            if (code == 0x00 && updates == 1 && !gone) {
                line.respond(0x81, 0x01000100); // its version, not "found"
                if (!stayed.isValid())
                    stayed.start();
                // Three leave times long it answers, and is not taken for gone.
                if (!toldByHand && stayed.elapsed() > 1000) {
                    QVERIFY2(!printed.contains("unit 1 left"), printed.constData());
                    ::kill(pid_t(updater.processId()), SIGUSR1);
                    toldByHand = true;
                }
            } else if (code == 0x00 || code == 0x01)
                line.respond(0x80 + code, 0x01000100);
            else if (code == 0x03)
                line.respond(0x82, 0);
            else if (code == 0x04)
                line.respond(0x82, 4);
            else if (code == 0x05)
                ++updates, line.respond(0x83);
        }
        QVERIFY(updater.state() == QProcess::NotRunning || updater.waitForFinished(3000));
        printed += updater.readAllStandardOutput();
        QCOMPARE(updater.exitCode(), 0);
        QCOMPARE(updates, 2);
        QVERIFY2(printed.contains("unit 1: the operator says it has left"), printed.constData());
        QVERIFY2(printed.contains("station: 2 units, 2 passed, 0 failed"), printed.constData());
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
        QTest::newRow("one port for two bays") << QStringList{"--station", "--download", "--file", "x.plk", "--port", "a", "--port", "a"};
        QTest::newRow("retries negative") << QStringList{"--station", "--download", "--file", "x.plk", "--port", "a", "--retries", "-1"};
        QTest::newRow("--retries without --station") << QStringList{"--download", "--file", "x.plk", "--port", "a", "--retries", "1"};
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
