#include "ptydevice.h"
#include "simrun.h"
#include "updateraccess.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using testing::pattern;

// Where the window is drawn: on a machine as busy as a CI runner, a fresh X
// server that has only just taken its first client, every core spinning;
// with no display, one named that is not there, or one that cannot be used.
class TestPlatform : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QProcess xvfb;
    std::vector<std::unique_ptr<QProcess>> load;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();

    // The runs a platform start is tried under load; a start that fails one
    // time in five is caught with a chance of almost nine in ten (1 - 0.8^10).
    static constexpr int runs = 10;

    QString image()
    {
        QFile file(dir.filePath("fw.plk"));
        if (!file.exists() && file.open(QIODevice::WriteOnly))
            file.write(QByteArray(64, '\x5a'));
        return file.fileName();
    }

    // Another X client that connects and leaves again and again, as a
    // login script's xset or a kiosk's xdotool does: whenever it was the
    // last, the server resets itself and refuses connections meanwhile.
    pid_t clientsComingAndGoing()
    {
        const QByteArray display = env.value("DISPLAY").toLocal8Bit();
        const pid_t child = ::fork();
        if (child != 0)
            return child;
        void *xcb = ::dlopen("libxcb.so.1", RTLD_NOW);
        using Connect = void *(*)(const char *, int *);
        using Disconnect = void (*)(void *);
        const auto connect = xcb ? reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect")) : nullptr;
        const auto disconnect = xcb ? reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect")) : nullptr;
        while (connect && disconnect) {
            disconnect(connect(display.constData(), nullptr));
            ::usleep(1000);
        }
        ::_exit(1);
    }

    // Every core spinning until the test function ends.
    void spinEveryCore()
    {
        for (int i = 0; i < 3; ++i) {
            load.push_back(std::make_unique<QProcess>());
            load.back()->start("sh", {"-c", "while :; do :; done"});
        }
    }

    // Standard output closed, as a cron job leaves it.
    void start(QProcess &updater, const QStringList &arguments)
    {
        updater.setProcessEnvironment(env);
        updater.start("bash", QStringList{"-c", "exec >&-; exec \"$@\"", "bash",
                                          qEnvironmentVariable("PELKOUPDATE_BIN")}
                                  + arguments);
    }

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable("Xvfb").isEmpty())
            QSKIP("Xvfb is not installed");
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        // It writes its display's number once it takes connections.
        xvfb.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"});
        QVERIFY(xvfb.waitForReadyRead(10000));
        env.insert("DISPLAY", ":" + QString::fromLatin1(xvfb.readAllStandardOutput()).trimmed());
    }
    void cleanupTestCase()
    {
        xvfb.terminate();
        xvfb.waitForFinished(5000);
    }
    void cleanup()
    {
        for (auto &busy : load) {
            busy->kill();
            busy->waitForFinished();
        }
        load.clear();
    }

    // Each start leaves the server with no client once it ends, so the next
    // finds it resetting itself: a script still runs, never ending 69.
    void scriptNeverWantsForAScreen()
    {
        spinEveryCore();
        for (int run = 0; run < runs; ++run) {
            QProcess updater;
            start(updater, {"--port", dir.filePath("no-such-port"), "--file", image(), "--download",
                            "--timeout", "0.1"});
            QVERIFY(updater.waitForFinished(30000));
            QVERIFY2(updater.exitCode() == 2,
                     qPrintable(QStringLiteral("run %1: exit %2: %3")
                                    .arg(run)
                                    .arg(updater.exitCode())
                                    .arg(QString::fromLocal8Bit(updater.readAllStandardError()))));
        }
    }

    // The window has no screen to fall back on: it must find the one there
    // is, every time, also while other clients come and go and each leaves
    // the server resetting itself. It is up once it asks for the device.
    void windowFindsTheScreen()
    {
        spinEveryCore();
        const pid_t churn = clientsComingAndGoing();
        QVERIFY(churn > 0);
        const auto stopChurn = qScopeGuard([&] {
            ::kill(churn, SIGKILL);
            ::waitpid(churn, nullptr, 0);
        });
        for (int run = 0; run < runs; ++run) {
            pty::Device line;
            QProcess updater;
            start(updater, {"--port", line.path, "--file", image()});
            QVERIFY(testing::waitFor(
                [&] { return updater.state() == QProcess::NotRunning || !line.frames.isEmpty(); }, 30000));
            const QString err = QString::fromLocal8Bit(updater.readAllStandardError());
            updater.kill();
            updater.waitForFinished();
            QVERIFY2(!line.frames.isEmpty(), qPrintable(QStringLiteral("run %1: %2").arg(run).arg(err)));
        }
    }

    // The X server goes away under a station's transfer (the session ended,
    // the server crashed): Qt ends the program at once, but the unit in
    // hand is said, recorded and counted, as for a hangup.
    void displayGoesAway()
    {
        spinEveryCore();
        QProcess server;
        server.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"});
        QVERIFY(server.waitForReadyRead(10000));
        QProcessEnvironment own = env;
        own.insert("DISPLAY", ":" + QString::fromLatin1(server.readAllStandardOutput()).trimmed());
        QProcess device;
        device.start(qEnvironmentVariable("MWIRE_SIM_BIN"), {"--once", "--baud", "57600"});
        QVERIFY(device.waitForReadyRead(5000));
        const QString port = QString::fromLocal8Bit(device.readLine()).trimmed();
        const QString log = dir.filePath("display.log");
        QFile big(dir.filePath("big.plk"));
        QVERIFY(big.open(QIODevice::WriteOnly) && big.write(QByteArray(16384, '\x3c')) == 16384);
        big.close();
        QProcess updater;
        updater.setProcessEnvironment(own);
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                      {"--port", port, "--file", big.fileName(), "--download", "--station", "--log", log,
                       "--db", "none"});
        QByteArray said;
        QVERIFY(testing::waitFor([&] { return (said += updater.readAllStandardOutput()).contains("progress 10%"); }, 20000));
        server.kill();
        QVERIFY(updater.waitForFinished(10000));
        said += updater.readAllStandardOutput();
        device.kill();
        device.waitForFinished();
        QCOMPARE(updater.exitCode(), 129);
        QVERIFY2(said.contains("stopped as the display went away: the device holds a partial image"), said.constData());
        QVERIFY2(said.contains("station: 1 units, 0 passed, 0 failed, 1 interrupted"), said.constData());
        QFile records(log);
        QVERIFY(records.open(QIODevice::ReadOnly));
        QVERIFY(records.readAll().contains("\"outcome\":\"interrupted\""));
    }

    // Standard streams closed by a cron job or a careless script: what the
    // program opens later (the X connection, the port) must not take their
    // numbers. Under Xvfb when it is installed, and headless.
    void closedStreams_data()
    {
        QTest::addColumn<QString>("closed");
        QTest::addColumn<bool>("display");
        for (bool display : {false, true}) {
            for (const char *closed : {">&-", "2>&-", "<&- >&- 2>&-"})
                QTest::addRow("%s, %s", closed, display ? "Xvfb" : "headless") << closed << display;
        }
    }
    void closedStreams()
    {
        QFETCH(QString, closed);
        QFETCH(bool, display);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        QProcess xvfb;
        if (display) {
            if (QStandardPaths::findExecutable("Xvfb").isEmpty())
                QSKIP("Xvfb is not installed");
            // It writes its display's number once it takes connections.
            xvfb.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"});
            QVERIFY(xvfb.waitForReadyRead(10000));
            env.insert("DISPLAY", ":" + QString::fromLatin1(xvfb.readAllStandardOutput()).trimmed());
        }
        const QByteArray image = pattern(4096, 13);
        const QString out = dir.filePath("closed.bin");
        QFile::remove(out);
        Run run({}, out);
        QProcess shell;
        shell.setProcessEnvironment(env);
        shell.start("bash", {"-c", "exec " + closed + "; exec \"$@\"", "bash",
                             qEnvironmentVariable("PELKOUPDATE_BIN"), "--port", run.port, "--file",
                             testing::writeFile(dir, "fw.plk", image), "--download", "--trace",
                             "--timeout", "3"});
        QVERIFY(shell.waitForFinished(20000));
        xvfb.terminate();
        xvfb.waitForFinished(5000);
        QCOMPARE(shell.exitCode(), 0);
        QVERIFY(run.sim.waitForFinished(5000));
        QCOMPARE(testing::received(out), image);
    }


    // Over ssh to a box with no screen, or with a display named that is not
    // there (a stale DISPLAY, a Wayland session gone): all but the window
    // works, the window says why it cannot, and nothing aborts.
    void noDisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("display");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("err");
        const QString none = "pelkoupdate: no display to show the window on";
        for (const QString display : {"", "DISPLAY=:93", "WAYLAND_DISPLAY=wayland-93"}) {
            const QByteArray nameBytes = display.isEmpty() ? "no display" : display.toLatin1();
            const char *name = nameBytes.constData();
            QTest::addRow("%s: --help", name) << QStringList{"--help"} << display << 0 << "";
            QTest::addRow("%s: --version", name) << QStringList{"--version"} << display << 0 << "";
            QTest::addRow("%s: the window", name) << QStringList() << display << 69 << none;
            QTest::addRow("%s: the station window", name)
                << QStringList{"--station", "--file", "fw.plk", "--port", "a", "--port", "b"} << display << 69 << none;
            QTest::addRow("%s: an update", name) << QStringList{"--download"} << display << 0 << "";
        }
        QTest::newRow("--help-all") << QStringList{"--help-all"} << "" << 0 << "";
        QTest::newRow("a bad option") << QStringList{"--frob"} << "" << 64
                                      << "pelkoupdate: Unknown option 'frob'.\nTry 'pelkoupdate --help'.\n";
        QTest::newRow("stale DISPLAY, -platform xcb") << QStringList{"-platform", "xcb"} << "DISPLAY=:93" << 69 << none;
        QTest::newRow("stale DISPLAY, -platform xcb, an update")
            << QStringList{"-platform", "xcb", "--download"} << "DISPLAY=:93" << 0 << "";
        QTest::newRow("-platform bogus") << QStringList{"-platform", "bogus"} << "" << 64
                                         << "pelkoupdate: there is no platform 'bogus'";
        QTest::newRow("-platform bogus, --help") << QStringList{"-platform", "bogus", "--help"} << "" << 0 << "";
    }
    void noDisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, display);
        QFETCH(int, exitCode);
        QFETCH(QString, err);
        const QByteArray image = pattern(1024, 9);
        const QString out = dir.filePath("headless.bin");
        Run run({}, out);
        if (arguments.contains("--download"))
            arguments += QStringList{"--port", run.port, "--file", testing::writeFile(dir, "fw.plk", image)};
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
            env.remove(name);
        if (!display.isEmpty())
            env.insert(display.section('=', 0, 0), display.section('=', 1));
        QProcess updater;
        updater.setProcessEnvironment(env);
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"), arguments);
        QVERIFY(updater.waitForFinished(30000));
        QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater.exitCode(), exitCode);
        const QString printedErr = QString::fromLocal8Bit(updater.readAllStandardError());
        QVERIFY2(err.isEmpty() ? printedErr.isEmpty() : printedErr.startsWith(err), qPrintable(printedErr));
        if (arguments.contains("--download")) {
            QVERIFY(run.sim.waitForFinished(5000));
            QCOMPARE(testing::received(out), image);
        }
    }


    // A display that is there but cannot be used: --download goes offscreen,
    // the window alone ends with the reason, both within moments.
    void unusableDisplay_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("download");
        for (const char *server : {"closes", "refuses", "never answers"}) {
            QTest::addRow("an X server that %s: an update", server) << QString(server) << true;
            QTest::addRow("an X server that %s: the window", server) << QString(server) << false;
        }
    }
    void unusableDisplay()
    {
        QFETCH(QString, server);
        QFETCH(bool, download);
        QDir().mkpath("/tmp/.X11-unix");
        int number = 90;
        while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            ++number;
        const QByteArray path = QStringLiteral("/tmp/.X11-unix/X%1").arg(number).toLatin1();
        const int listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        QVERIFY(::bind(listening, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        QVERIFY(::listen(listening, 8) == 0);
        QList<int> kept{listening};
        QSocketNotifier accepting(listening, QSocketNotifier::Read);
        connect(&accepting, &QSocketNotifier::activated, [&] {
            const int client = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
            if (server == "closes") {
                ::close(client);
                return;
            }
            if (server == "refuses") { // the setup reply of a server without our cookie
                const QByteArray reply = QByteArray("\0\x15\x0b\0\0\0\x06\0", 8)
                                         + QByteArray("No protocol specified\n\0\0", 24);
                QCOMPARE(::write(client, reply.constData(), size_t(reply.size())), ssize_t(reply.size()));
            }
            kept += client;
        });
        const QByteArray image = pattern(1024, 12);
        const QString out = dir.filePath("display.bin");
        Run run({}, out);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
            env.remove(name);
        env.insert("DISPLAY", QStringLiteral(":%1").arg(number));
        QProcess updater;
        updater.setProcessEnvironment(env);
        QStringList arguments{"--port", run.port};
        if (download)
            arguments += QStringList{"--file", testing::writeFile(dir, "fw.plk", image), "--download"};
        QElapsedTimer took;
        took.start();
        updater.start(qEnvironmentVariable("PELKOUPDATE_BIN"), arguments);
        // The event loop runs, so the server of our own answers as it should.
        QVERIFY(testing::waitFor([&] { return updater.state() == QProcess::NotRunning; }, 20000));
        const QString err = QString::fromLocal8Bit(updater.readAllStandardError());
        QCOMPARE(updater.exitCode(), download ? 0 : 69);
        if (download) {
            QVERIFY(run.sim.state() == QProcess::NotRunning || run.sim.waitForFinished(5000));
            QCOMPARE(testing::received(out), image);
        } else {
            QVERIFY2(err.startsWith(QStringLiteral("pelkoupdate: no display to show the window on (DISPLAY=:%1: the X server ").arg(number)),
                     qPrintable(err));
            QVERIFY2(took.elapsed() < 5000, qPrintable(QString::number(took.elapsed())));
        }
        for (int fd : kept)
            ::close(fd);
        ::unlink(path.constData());
    }

};

QTEST_MAIN(TestPlatform)
#include "tst_platform.moc"
