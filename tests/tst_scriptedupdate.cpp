#include "updateraccess.h"

#include <QProcess>
#include <QTest>

using testing::pattern;

namespace {
struct Result
{
    int exitCode = -1;
    QStringList out;
    QString err;
};

// A device and an updater, each a process of its own, as on a production line.
class Run
{
public:
    Run(const QStringList &simOptions, const QString &out = {})
    {
        sim.start(qEnvironmentVariable("MWIRE_SIM_BIN"),
                  QStringList{"--once"} + (out.isEmpty() ? QStringList() : QStringList{"--out", out})
                      + simOptions);
        if (sim.waitForReadyRead(5000))
            port = QString::fromLocal8Bit(sim.readLine()).trimmed();
    }
    ~Run()
    {
        for (QProcess *p : {&sim, &updater}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished();
            }
        }
    }
    void startUpdater(const QStringList &arguments,
                      const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        updater.setProcessEnvironment(environment);
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      QStringList{"-platform", "offscreen"} + arguments);
    }
    Result result()
    {
        if (!updater.waitForFinished(60000))
            return {};
        return {updater.exitCode(),
                QString::fromLocal8Bit(updater.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts),
                QString::fromLocal8Bit(updater.readAllStandardError())};
    }

    QProcess sim;
    QProcess updater;
    QString port;
};
} // namespace

class TestScriptedUpdate : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::exists(qEnvironmentVariable("MWIRE_SIM_BIN")));
        QVERIFY(QFile::exists(qEnvironmentVariable("PELKOUPDATE_BIN")));
    }

    void updated()
    {
        const QByteArray image = pattern(4096, 1);
        const QString path = testing::writeFile(dir, "fw.plk", image);
        const QString out = dir.filePath("updated.bin");
        Run run({"--firmware", "1.2", "--hardware", "0.9"}, out);
        run.startUpdater({"--port", run.port, "--file", path, "--download"});
        const Result result = run.result();
        QCOMPARE(result.exitCode, 0);
        QStringList expected{run.port + "  " + path, "get Version Info",
                             "Firm V01.02, hardware V00.09, click Download",
                             "Please wait, in progressing..."};
        for (int decile = 10; decile <= 100; decile += 10)
            expected += QStringLiteral("progress %1%").arg(decile);
        expected += "Firmware is updated";
        QCOMPARE(result.out.mid(0, expected.size()), expected);
        QCOMPARE(result.out.size(), expected.size() + 1);
        QVERIFY2(QRegularExpression("^sent 4096 bytes in \\d+\\.\\d{3} s, \\d+ bytes/s$")
                     .match(result.out.last()).hasMatch(),
                 qPrintable(result.out.last()));
        QVERIFY(!result.err.contains("pelkoupdate:"));
        QVERIFY(run.sim.waitForFinished(5000));
        QCOMPARE(run.sim.exitCode(), 0);
        QCOMPARE(testing::received(out), image);
    }

    void failures_data()
    {
        QTest::addColumn<QStringList>("simOptions");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("error");
        QTest::newRow("device cancels") << QStringList{"--cancel-at", "512"} << "fw.plk" << ""
                                        << 1 << "Device canncelled, please retry";
        QTest::newRow("device stalls") << QStringList{"--stall-at", "512"} << "fw.plk" << ""
                                       << 2 << "no answer from the device for 0.5 s";
        QTest::newRow("device never answers") << QStringList{"--silent", "1000000"} << "fw.plk" << ""
                                              << 2 << "no answer from the device for 0.5 s";
        QTest::newRow("line unplugged") << QStringList{"--hangup-at", "512"} << "fw.plk" << ""
                                        << 2 << "lost";
        QTest::newRow("empty file") << QStringList() << "empty.plk" << "" << 3 << "File is Vacant";
        QTest::newRow("missing file") << QStringList() << "missing.plk" << "" << 3
                                      << "No such file or directory";
        QTest::newRow("no such port") << QStringList() << "fw.plk" << "/dev/pelko-no-such-port"
                                      << 3 << "Cannot open port /dev/pelko-no-such-port";
    }
    void failures()
    {
        QFETCH(QStringList, simOptions);
        QFETCH(QString, file);
        QFETCH(QString, port);
        QFETCH(int, exitCode);
        QFETCH(QString, error);
        testing::writeFile(dir, "fw.plk", pattern(4096));
        testing::writeFile(dir, "empty.plk", QByteArray());
        Run run(simOptions);
        run.startUpdater({"--port", port.isEmpty() ? run.port : port, "--file",
                          dir.filePath(file), "--download", "--timeout", "0.5"});
        const Result result = run.result();
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(result.err.contains("pelkoupdate: ") && result.err.contains(error),
                 qPrintable(result.err));
        QVERIFY(!result.out.isEmpty());
        QVERIFY2(result.out.last().startsWith("sent "), qPrintable(result.out.join('\n')));
        QVERIFY(!result.out.contains("Firmware is updated"));
    }

    // A driver that wakes the updater with nothing to read (and a stale
    // errno) and refuses writes now and then, as ptys and USB adapters do:
    // the exact image all the same. A real hang-up still ends it at once.
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
                          "--download", "--timeout", "5"},
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

    // One process per port, each with its own device and image.
    void twoAtOnce()
    {
        const QByteArray imageA = pattern(16384, 11);
        const QByteArray imageB = pattern(12000, 22);
        const QString outA = dir.filePath("a.bin");
        const QString outB = dir.filePath("b.bin");
        Run a({}, outA);
        Run b({"--noise"}, outB);
        a.startUpdater({"--port", a.port, "--file", testing::writeFile(dir, "a.plk", imageA), "--download"});
        b.startUpdater({"--port", b.port, "--file", testing::writeFile(dir, "b.plk", imageB), "--download"});
        QCOMPARE(a.result().exitCode, 0);
        QCOMPARE(b.result().exitCode, 0);
        QVERIFY(a.sim.waitForFinished(5000) && b.sim.waitForFinished(5000));
        QCOMPARE(testing::received(outA), imageA);
        QCOMPARE(testing::received(outB), imageB);
    }

    void badCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("--download without --file") << QStringList{"--download"};
        QTest::newRow("zero timeout") << QStringList{"--file", "x.plk", "--download", "--timeout", "0"};
        QTest::newRow("negative timeout") << QStringList{"--file", "x.plk", "--download", "--timeout", "-3"};
        QTest::newRow("timeout not a number") << QStringList{"--file", "x.plk", "--download", "--timeout", "soon"};
    }
    void badCommandLine()
    {
        QFETCH(QStringList, arguments);
        QProcess updater;
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      QStringList{"-platform", "offscreen"} + arguments);
        QVERIFY(updater.waitForFinished(20000));
        QCOMPARE(updater.exitCode(), 64);
        QVERIFY(updater.readAllStandardOutput().isEmpty());
        QVERIFY(updater.readAllStandardError().contains("pelkoupdate: "));
    }
};

QTEST_GUILESS_MAIN(TestScriptedUpdate)
#include "tst_scriptedupdate.moc"
