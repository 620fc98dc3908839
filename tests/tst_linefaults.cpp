#include "simrun.h"
#include "updateraccess.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

using testing::pattern;

// What the line and the device do wrong under a scripted update: a driver
// that fails reads and writes now and then, a device that talks on but
// moves nothing.
class TestLineFaults : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::exists(qEnvironmentVariable("MWIRE_SIM_BIN")));
        QVERIFY(QFile::exists(qEnvironmentVariable("PELKOUPDATE_BIN")));
    }

    // A driver that wakes the updater with nothing to read (and a stale
    // errno) and refuses writes now and then, as ptys and USB adapters do:
    // the exact image all the same. A real hang-up is still told as one.
    void troubledDriver_data()
    {
        QTest::addColumn<QStringList>("simOptions");
        QTest::addColumn<int>("readEvery");
        QTest::addColumn<int>("writeEvery");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("reads that find nothing") << QStringList() << 3 << 0 << 0;
        QTest::newRow("writes refused") << QStringList() << 0 << 3 << 0;
        QTest::newRow("both, noisy device answering in pieces")
            << QStringList{"--noise", "--split-us", "20"} << 5 << 4 << 0;
        QTest::newRow("both, and the line hangs up") << QStringList{"--hangup-at", "2048"} << 5 << 4 << 2;
    }
    void troubledDriver()
    {
        QFETCH(QStringList, simOptions);
        QFETCH(int, readEvery);
        QFETCH(int, writeEvery);
        QFETCH(int, exitCode);
        if (qEnvironmentVariable("LINESHIM").isEmpty())
            QSKIP("the line-fault shim is built on Linux only");
        const QByteArray image = pattern(simOptions.contains("--split-us") ? 4096 : 16384, 6);
        const QString out = dir.filePath("troubled.bin");
        QFile::remove(out);
        Run run(simOptions, out);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LD_PRELOAD", qEnvironmentVariable("LINESHIM"));
        env.insert("LINESHIM_PORT", run.port);
        env.insert("LINESHIM_READ_EVERY", QString::number(readEvery));
        env.insert("LINESHIM_WRITE_EVERY", QString::number(writeEvery));
        // A sanitized updater must let the shim come first.
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        run.startUpdater({"--port", run.port, "--file", testing::writeFile(dir, "fw.plk", image),
                          "--download", "--timeout", "5", "--reconnect-seconds", "0.5"},
                         env);
        const Result result = run.result();
        QVERIFY2(result.exitCode == exitCode, qPrintable(result.out.join('\n') + result.err));
        QVERIFY(run.sim.waitForFinished(5000));
        if (exitCode == 0) {
            QCOMPARE(testing::received(out), image);
            return;
        }
        QVERIFY2(result.err.contains("lost: the line hung up"), qPrintable(result.err));
        QVERIFY(!result.out.contains("Firmware is updated"));
        QVERIFY(run.sim.readAllStandardOutput().contains("no complete image"));
    }


    // A device that keeps talking but moves nothing: --timeout still ends it.
    void noProgress_data()
    {
        QTest::addColumn<QByteArray>("chatter");
        QTest::newRow("frames of another tag") << pty::response(0x80, 0, 0x51);
        QTest::newRow("an unknown code") << pty::response(0x85);
        QTest::newRow("its version again") << pty::response(0x81, 0x01000100);
        QTest::newRow("the same word again") << pty::response(0x82, 508);
    }
    void noProgress()
    {
        QFETCH(QByteArray, chatter);
        pty::Device line;
        QProcess updater;
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      {"-platform", "offscreen", "--port", line.path, "--file",
                       testing::writeFile(dir, "fw.plk", pattern(4096)), "--download", "--timeout", "0.5"});
        QElapsedTimer sinceChatter, running;
        running.start();
        quint32 next = 0;
        bool chatting = false;
        while (updater.state() != QProcess::NotRunning && running.elapsed() < 10000) {
            const QByteArray payload = pty::payloadOf(line.nextFrame(20));
            const int code = payload.size() == 8 ? quint8(payload[1]) : -1;
            if (code == 0x00)
                line.respond(0x80);
            else if (code == 0x01)
                line.respond(0x81, 0x01000100);
            else if (!chatting && (code == 0x03 || code == 0x04)) {
                next += code == 0x04 ? 4 : 0;
                chatting = next == 512;
                if (!chatting)
                    line.respond(0x82, next);
                sinceChatter.start();
            }
            if (chatting && sinceChatter.elapsed() >= 100) {
                line.write(chatter);
                sinceChatter.start();
            }
        }
        QVERIFY(updater.state() == QProcess::NotRunning || updater.waitForFinished(1000));
        QVERIFY2(running.elapsed() < 5000, qPrintable(QString::number(running.elapsed())));
        QCOMPARE(updater.exitCode(), 2);
        const QString err = QString::fromLocal8Bit(updater.readAllStandardError());
        QVERIFY2(err.contains("no progress for 0.5 s while waiting for the device to ask for the next word"),
                 qPrintable(err));
        // Words sent again are counted apart from the image they cover.
        const QString out = QString::fromLocal8Bit(updater.readAllStandardOutput());
        QVERIFY2(QRegularExpression("sent \\d+ words, 512 of 4096 image bytes covered").match(out).hasMatch(),
                 qPrintable(out));
        if (chatter == pty::response(0x82, 508))
            QVERIFY2(!out.contains("sent 128 words"), qPrintable(out));
    }

};

QTEST_MAIN(TestLineFaults)
#include "tst_linefaults.moc"
