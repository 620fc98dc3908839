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

    void helpAndVersion_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("printed");
        QTest::newRow("--help") << QStringList{"--help"}
                                << QStringList{"--port <NAME>", "143    stopped by SIGTERM", "\nFiles:\n",
                                               "group\ndialout", "\nExamples:\n"};
        QTest::newRow("--help-all") << QStringList{"--help-all"} << QStringList{"--port <NAME>", "-platform"};
        QTest::newRow("--version") << QStringList{"--version"} << QStringList{"pelkoupdate 1."};
    }
    void helpAndVersion()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, printed);
        const Run result = run(arguments);
        QCOMPARE(result.exitCode, 0);
        for (const QString &text : printed)
            QVERIFY2(result.out.contains(text), qPrintable(result.out));
    }

    // The manual page is made of --help: an example with an option that is
    // gone would teach the reader a command line that fails.
    void examplesUseRealOptions()
    {
        const QString help = run({"--help"}).out;
        const QString options = help.section("\nOptions:\n", 1).section("\nFiles:\n", 0, 0);
        const QString examples = help.section("\nExamples:\n", 1);
        QVERIFY(!options.isEmpty() && !examples.isEmpty());
        const QRegularExpression command("^  \\$ pelkoupdate (.*)$", QRegularExpression::MultilineOption);
        int commands = 0;
        for (const QRegularExpressionMatch &line : command.globalMatch(examples)) {
            ++commands;
            for (const QString &word : line.captured(1).split(' ')) {
                if (word.startsWith("--"))
                    QVERIFY2(options.contains("  " + word + ' ') || options.contains("  " + word + '\n'),
                             qPrintable(word));
            }
        }
        QVERIFY(commands >= 3);
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
