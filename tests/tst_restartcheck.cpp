#include "simrun.h"
#include "updateraccess.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using testing::pattern;

// What a unit runs once it has restarted into its image, and who made the
// record that says so.
class TestRestartCheck : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    static QJsonObject lastResult(const QStringList &out)
    {
        for (auto line = out.crbegin(); line != out.crend(); ++line) {
            const QJsonObject event = QJsonDocument::fromJson(line->toUtf8()).object();
            if (event.value("event") == "result")
                return event;
        }
        return {};
    }

private slots:
    void restarts_data()
    {
        QTest::addColumn<QStringList>("device");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("after");
        QTest::newRow("into the new image") << QStringList{"--restart-ms", "300", "--firmware-after", "2.0a"}
                                            << 0 << "updated" << "02.0a";
        QTest::newRow("into its old image") << QStringList{"--restart-ms", "300"} << 6 << "wrong-firmware" << "01.00";
        QTest::newRow("never answers again") << QStringList{"--restart-ms", "600000"} << 6 << "no-restart" << "";
    }
    void restarts()
    {
        QFETCH(QStringList, device);
        QFETCH(int, exitCode);
        QFETCH(QString, outcome);
        QFETCH(QString, after);
        Run run(device);
        const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1);
        run.startUpdater({"--port", run.port, "--file", testing::writeFile(dir, "fw.plk", pattern(1024, 3)),
                          "--download", "--json", "--expect-firmware", "02.0A", "--verify-seconds", "2",
                          "--station-name", "bench 3", "--operator", "ana"});
        const Result result = run.result();
        QCOMPARE(result.exitCode, exitCode);
        const QJsonObject last = lastResult(result.out);
        QCOMPARE(last.value("outcome").toString(), outcome);
        QCOMPARE(last.value("firmware").toString(), QStringLiteral("01.00")); // as before the update
        QCOMPARE(last.value("firmware_after").toString(), after);
        QCOMPARE(last.value("firmware_after").isNull(), after.isEmpty());
        // Who, where and when, for the one who signs the record.
        QCOMPARE(last.value("station").toString(), QStringLiteral("bench 3"));
        QCOMPARE(last.value("operator").toString(), QStringLiteral("ana"));
        QVERIFY(!last.value("host").toString().isEmpty());
        QVERIFY(last.value("tool_version").toString().startsWith("1."));
        const QDateTime started = QDateTime::fromString(last.value("started").toString(), Qt::ISODateWithMs);
        const QDateTime ended = QDateTime::fromString(last.value("ended").toString(), Qt::ISODateWithMs);
        QVERIFY(started.isValid() && started >= before && ended >= started);
        QVERIFY(last.value("ended").toString().endsWith('Z'));
        // A pseudo-terminal has no USB identity: each part of it null.
        const QJsonObject adapter = last.value("adapter").toObject();
        for (const char *key : {"vid", "pid", "serial", "usb_path"})
            QVERIFY2(adapter.contains(key) && adapter.value(key).isNull(), key);
        if (exitCode != 0) // told to people, on standard error beside the JSON
            QVERIFY2(result.err.contains(outcome == "no-restart" ? "did not answer within 2 s of its restart"
                                                                 : "restarted with firmware 01.00, not the 02.0a it was given"),
                     qPrintable(result.err));
    }

    // A station counts a unit that restarts into its old image failed, and
    // waits for it to leave as after any outcome.
    void stationCountsItFailed()
    {
        Run run({"--units", "2", "--away-ms", "700", "--restart-ms", "100", "--fail-unit", "0"});
        run.startUpdater({"--port", run.port, "--file", testing::writeFile(dir, "fw.plk", pattern(1024, 3)),
                          "--download", "--station", "--count", "2", "--leave-seconds", "0.3",
                          "--expect-firmware", "02.00", "--verify-seconds", "2"});
        const Result result = run.result();
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.out.contains("station: 2 units, 0 passed, 2 failed, 0 interrupted"),
                 qPrintable(result.out.join('\n')));
        QCOMPARE(result.out.filter(QRegularExpression("^unit \\d: failed \\(the device restarted with firmware "
                                                      "01.00, not the 02.00 it was given\\)")).size(), 2);
    }

    void badCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("not two hex digits each") << QStringList{"--expect-firmware", "2.0"};
        QTest::newRow("not hex") << QStringList{"--expect-firmware", "0g.00"};
        QTest::newRow("no time to restart") << QStringList{"--expect-firmware", "02.00", "--verify-seconds", "0"};
        QTest::newRow("an empty station name") << QStringList{"--station-name", ""};
    }
    void badCommandLine()
    {
        QFETCH(QStringList, arguments);
        QProcess updater;
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      QStringList{"-platform", "offscreen", "--port", "x", "--file", "x.plk", "--download"} + arguments);
        QVERIFY(updater.waitForFinished(10000));
        QCOMPARE(updater.exitCode(), 64);
    }
};

QTEST_GUILESS_MAIN(TestRestartCheck)
#include "tst_restartcheck.moc"
