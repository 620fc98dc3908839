#include "ptydevice.h"

#include <QProcess>
#include <QTemporaryDir>
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
        // A command goes on after a trailing backslash.
        const QString examples = help.section("\nExamples:\n", 1).replace(" \\\n      ", " ");
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

    // The manual page sets each example's commands unbroken, 14 columns in:
    // past 66 columns from its "$" a line runs off an 80-column terminal.
    void examplesFitTheManualPage()
    {
        const QString examples = run({"--help"}).out.section("\nExamples:\n", 1);
        for (const QString &line : examples.split('\n')) {
            if (line.startsWith("  $ ") || line.startsWith("      "))
                QVERIFY2(line.size() <= 2 + 66, qPrintable(line));
        }
    }

    // A file manager's "Open with": the file alone opens the window on it,
    // as --file does, and the device is looked for at once.
    void openWith()
    {
        pty::Device line;
        QTemporaryDir dir;
        QFile file(dir.filePath("fw.pelk"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(64, 'x')) == 64);
        file.close();
        QProcess process;
        process.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      {"-platform", "offscreen", "--port", line.path, file.fileName()});
        QCOMPARE(line.nextFrame(10000), pty::hex("7eff50000000000000" "97"));
        process.kill();
        process.waitForFinished();
    }

    void badCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown option") << QStringList{"--frobnicate"} << "Unknown option 'frobnicate'";
        QTest::newRow("--port without a name") << QStringList{"--port"} << "Missing value after '--port'";
        QTest::newRow("two files") << QStringList{"a.pelk", "b.pelk"} << "unexpected argument 'b.pelk'";
        QTest::newRow("a file and --file") << QStringList{"a.pelk", "--file", "b.pelk"}
                                           << "unexpected argument 'a.pelk'";
        QTest::newRow("--file twice") << QStringList{"--file", "a.pelk", "--file", "b.pelk", "--download"}
                                      << "--file given 2 times";
        QTest::newRow("--port empty") << QStringList{"--port", "", "--file", "a.pelk", "--download"}
                                      << "--port wants a name, not an empty one";
        QTest::newRow("--port a folder") << QStringList{"--port", "/dev/ttyUSB0/", "--file", "a.pelk", "--download"}
                                         << "--port /dev/ttyUSB0/ cannot be a port: a name ending in / is a folder";
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

    // A name in bytes that are not UTF-8, as a careless script or a broken
    // link passes it: no name the program holds would ever find it (a port
    // waited for without end, a log written to a file nobody named), so it
    // is told at once.
    void nameNotText_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("said");
        QTest::newRow("--port") << "--port" << "cannot be a port: it is not valid UTF-8";
        QTest::newRow("--file") << "--file" << "is not valid UTF-8";
        QTest::newRow("--log") << "--log" << "is not valid UTF-8";
    }
    void nameNotText()
    {
        QFETCH(QString, option);
        QFETCH(QString, said);
        QTemporaryDir dir;
        const QByteArray name = QFile::encodeName(dir.path()) + "/name\xff";
        QVERIFY(::symlink("/dev/null", name.constData()) == 0);
        const QString weird = "\"$(printf \"$1\")\"";
        QStringList given{"--download", "--station"};
        for (const QString &named : {QStringLiteral("--port"), QStringLiteral("--file"), QStringLiteral("--log")})
            given << named << (named == option ? weird : QStringLiteral("x"));
        QProcess process;
        process.start("bash", {"-c", "exec \"$0\" -platform offscreen " + given.join(' '),
                               qEnvironmentVariable("PELKOUPDATE_BIN"),
                               QString::fromLatin1(dir.path().toLatin1() + "/name\\xff")});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 64);
        const QString err = QString::fromLocal8Bit(process.readAllStandardError());
        QVERIFY2(err.contains(said), qPrintable(err));
    }
};

QTEST_GUILESS_MAIN(TestMain)
#include "tst_main.moc"
