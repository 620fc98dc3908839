#include <QProcess>
#include <QTest>

// The command line of the real executable.
class TestMain : public QObject
{
    Q_OBJECT

    struct Run
    {
        int exitCode = -1;
        QString out;
        QString err;
    };
    static Run run(const QStringList &arguments)
    {
        QProcess process;
        process.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      QStringList{"-platform", "offscreen"} + arguments);
        if (!process.waitForFinished(20000)) {
            process.kill();
            process.waitForFinished();
            return {};
        }
        return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardOutput()),
                QString::fromLocal8Bit(process.readAllStandardError())};
    }

private slots:
    void initTestCase() { QVERIFY(!qEnvironmentVariable("PELKOUPDATE_BIN").isEmpty()); }

    void helpAndVersion()
    {
        const Run help = run({"--help"});
        QCOMPARE(help.exitCode, 0);
        QVERIFY2(help.out.contains("--port <NAME>"), qPrintable(help.out));
        const Run version = run({"--version"});
        QCOMPARE(version.exitCode, 0);
        QVERIFY2(version.out.contains(QRegularExpression("\\d+\\.\\d+\\.\\d+")),
                 qPrintable(version.out));
    }

    void badCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown option") << QStringList{"--frobnicate"} << "Unknown option 'frobnicate'";
        QTest::newRow("--port without a name") << QStringList{"--port"} << "Missing value after '--port'";
        QTest::newRow("stray argument") << QStringList{"fw.pelk"} << "unexpected argument 'fw.pelk'";
    }
    void badCommandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const Run result = run(arguments);
        QCOMPARE(result.exitCode, 64);
        QVERIFY2(result.err.contains(message), qPrintable(result.err));
        QVERIFY(result.out.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestMain)
#include "tst_main.moc"
