#include "simrun.h"
#include "updateraccess.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using testing::pattern;

// A terminal as an operator's: line by line, echoing, and stopping the
// background jobs that write to it.
class Terminal
{
public:
    Terminal()
    {
        char name[128] = {};
        termios tio{};
        ::openpty(&master, &slave, name, nullptr, nullptr);
        ::tcgetattr(slave, &tio);
        tio.c_lflag |= ICANON | ECHO | ISIG | TOSTOP;
        ::tcsetattr(slave, TCSANOW, &tio);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);
        path = QString::fromLocal8Bit(name);
    }
    ~Terminal()
    {
        ::close(master);
        ::close(slave);
    }
    const QByteArray &said()
    {
        char buffer[4096];
        for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
            output.append(buffer, n);
        return output;
    }
    void type(const QByteArray &keys) { [[maybe_unused]] const ssize_t n = ::write(master, keys.constData(), size_t(keys.size())); }

    QString path;

private:
    int master = -1;
    int slave = -1;
    QByteArray output;
};

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
        QCOMPARE(result.out.last(), QStringLiteral("station: 5 units, 4 passed, 1 failed, 0 interrupted"));
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
        QTest::newRow("a file of the kernel's, as root a setting") << "proc";
    }
    void logRefused()
    {
        QFETCH(QString, kind);
        QString log = kind == "device" ? QStringLiteral("/dev/null")
                      : kind == "proc" ? QStringLiteral("/proc/sys/kernel/hostname")
                                       : dir.filePath("log-" + kind);
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
        // Always why, never "pelkoupdate: " and nothing.
        QVERIFY2(err.contains("the log " + log + (kind == "proc" ? " is a file of the kernel's" : " is not a regular file")),
                 qPrintable(err));
    }

    // A full disk: the unit's result is printed, the station stops after it
    // with the reason, never exit 0.
    void logCannotBeWritten()
    {
        const QString log = testing::writeFile(dir, "full.log", QByteArray(99, ' ') + '\n');
        Run run({"--units", "2", "--away-ms", "600"});
        run.updater.setChildProcessModifier([] {
            const rlimit limit{100, 100}; // the log may not grow, as under ulimit -f
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
        run.startUpdater(station(run, testing::writeFile(dir, "fw.plk", pattern(4096, 6)),
                                 {"--count", "2", "--log", log, "--db", "none"}));
        const Result result = run.result();
        QCOMPARE(result.exitCode, 3);
        QVERIFY2(result.out.contains("unit 1: passed (Firmware is updated); tally: 1 passed, 0 failed"),
                 qPrintable(result.out.join('\n')));
        QVERIFY2(result.err.contains("pelkoupdate: cannot write the log " + log + ": "), qPrintable(result.err));
        QVERIFY(!result.out.join('\n').contains("unit 2"));
        QCOMPARE(result.out.last(), QStringLiteral("station: 1 units, 1 passed, 0 failed, 0 interrupted"));
        QFile file(log);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray(99, ' ') + '\n'); // nothing torn left behind
    }

    // An image of nothing would have every unit found only to be refused: a
    // station or a line refuses it at start, before a byte goes out.
    void vacantImageRefused_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("bays");
        for (int bays : {1, 2}) {
            const char *where = bays == 1 ? "a station" : "a line";
            QTest::addRow("empty .plk, %s", where) << QByteArray("empty.plk") << bays;
            QTest::addRow(".pelk of its header alone, %s", where) << QByteArray("header.pelk") << bays;
        }
    }
    void vacantImageRefused()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, bays);
        const QString path = testing::writeFile(dir, QString::fromLatin1(file),
                                                file.endsWith(".pelk") ? QByteArray(16, 'H') : QByteArray());
        pty::Device lines[2];
        QStringList ports;
        for (int bay = 0; bay < bays; ++bay)
            ports << "--port" << lines[bay].path;
        QProcess updater;
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      QStringList{"-platform", "offscreen", "--file", path, "--download", "--station"} + ports);
        QVERIFY(updater.waitForFinished(10000));
        QCOMPARE(updater.exitCode(), 3);
        const QString err = QString::fromLocal8Bit(updater.readAllStandardError());
        QVERIFY2(err.contains("pelkoupdate: File is Vacant: " + path + " holds no image"), qPrintable(err));
        for (pty::Device &line : lines)
            QVERIFY(line.quietFor(50));
    }

    // Stopped before any unit came: no unit, no result, and never the exit
    // code of a whole run.
    void stopWithNothingDone_data()
    {
        QTest::addColumn<int>("bays");
        QTest::addColumn<int>("signal");
        QTest::newRow("a station, SIGINT") << 1 << SIGINT;
        QTest::newRow("a line, SIGTERM") << 2 << SIGTERM;
        QTest::newRow("a line, SIGHUP") << 2 << SIGHUP;
    }
    void stopWithNothingDone()
    {
        QFETCH(int, bays);
        QFETCH(int, signal);
        pty::Device lines[2]; // devices that never answer
        QStringList ports;
        for (int bay = 0; bay < bays; ++bay)
            ports << "--port" << lines[bay].path;
        QProcess updater;
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      QStringList{"-platform", "offscreen", "--file", testing::writeFile(dir, "fw.plk", pattern(64)),
                                  "--download", "--station", "--json"} + ports);
        QVERIFY(!lines[0].nextFrame(5000).isEmpty()); // it looks for a unit
        testing::signal(updater, signal);
        QVERIFY(updater.waitForFinished(10000));
        QCOMPARE(updater.exitCode(), 128 + signal);
        const QByteArray out = updater.readAllStandardOutput();
        QVERIFY2(!out.contains("\"event\":\"result\""), out.constData());
        QVERIFY2(out.contains("\"event\":\"tally\""), out.constData());
    }

    // The operator's terminal: a station started with & from a shell, whose
    // terminal stops jobs that write to it (TOSTOP), goes on while someone
    // types there; one in the foreground takes Ctrl-D as a key like another
    // and still hears Enter.
    void operatorsTerminal_data()
    {
        QTest::addColumn<bool>("background");
        QTest::newRow("in the background, typed at") << true;
        QTest::newRow("in the foreground, Ctrl-D then Enter") << false;
    }
    void operatorsTerminal()
    {
        QFETCH(bool, background);
        Terminal terminal;
        // Slow enough in the background for the keys to come mid-transfer.
        Run run({"--units", "2", "--away-ms", background ? "600" : "0", "--late", background ? "4" : "0"});
        QProcess shell;
        shell.setStandardInputFile(terminal.path);
        shell.setStandardOutputFile(terminal.path);
        shell.setStandardErrorFile(terminal.path);
        const QStringList updater = QStringList{qEnvironmentVariable("PELKOUPDATE_BIN"), "-platform", "offscreen"}
                                    + station(run, testing::writeFile(dir, "fw.plk", pattern(1024, 8)),
                                              {"--count", background ? "1" : "2", "--leave-seconds", "0.5"});
        // A shell with job control runs it as a job of its own, as & does.
        shell.start("setsid", QStringList{"--ctty", "--wait"}
                                  + (background ? QStringList{"bash", "-c", "set -m; \"$@\" & wait $!", "bash"}
                                                : QStringList())
                                  + updater);
        QVERIFY(testing::waitFor([&] { return terminal.said().contains("Please wait, in progressing..."); }, 10000));
        if (background) {
            for (int i = 0; i < 100 && shell.state() != QProcess::NotRunning; ++i) {
                terminal.type("next\n");
                QTest::qWait(20);
            }
        } else {
            QVERIFY(testing::waitFor([&] { return terminal.said().contains("waiting for the device to leave"); }, 10000));
            terminal.type("\x04"); // Ctrl-D on an empty line: read as nothing
            QTest::qWait(100);
            terminal.type("\n");
        }
        QVERIFY2(shell.state() == QProcess::NotRunning || shell.waitForFinished(20000), terminal.said().constData());
        QVERIFY2(shell.exitCode() == 0, terminal.said().constData());
        if (!background)
            QVERIFY2(terminal.said().contains("unit 1: the operator says it has left"), terminal.said().constData());
    }

    // Standard output to a file under a size limit: the lines that do not
    // fit are counted and said on standard error, and none is left torn.
    void standardOutputUnderALimit()
    {
        const QString printed = dir.filePath("limited.out");
        QFile::remove(printed);
        Run run({"--units", "2", "--away-ms", "600"});
        run.updater.setStandardOutputFile(printed);
        run.updater.setChildProcessModifier([] {
            const rlimit limit{1500, 1500};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
        run.startUpdater(station(run, testing::writeFile(dir, "fw.plk", pattern(2048, 6)),
                                 {"--count", "2", "--db", "none"}));
        const Result result = run.result();
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.err.contains(QRegularExpression("pelkoupdate: \\d+ lines of standard output were not written")),
                 qPrintable(result.err));
        QFile file(printed);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray kept = file.readAll();
        QVERIFY(kept.size() <= 1500 && kept.endsWith('\n'));
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
        testing::signal(run.updater, SIGTERM);
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
                    testing::signal(updater, SIGUSR1);
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
        testing::signal(run.updater, SIGINT);
        const Result result = run.result();
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(result.out.last(), QStringLiteral("station: 1 units, 1 passed, 0 failed, 0 interrupted"));
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
        QTest::newRow("--log empty") << QStringList{"--station", "--download", "--file", "x.plk", "--port", "a", "--log", ""};
        QTest::newRow("--db with a password") << QStringList{"--station", "--download", "--file", "x.plk", "--port", "a", "--db", "postgresql://u:secret@h/db"};
        QTest::newRow("--db a PostgreSQL address without //") << QStringList{"--station", "--download", "--file", "x.plk", "--port", "a", "--db", "postgresql:/u:secret@h/db"};
        QTest::newRow("a usb: match twice, in two cases") << QStringList{"--station", "--download", "--file", "x.plk", "--port", "usb:0403:6a01", "--port", "usb:0403:6A01"};
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
