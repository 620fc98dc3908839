#include "ptydevice.h"
#include "updateraccess.h"

#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <dlfcn.h>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Where the window is drawn, on a machine as busy as a CI runner: a fresh X
// server that has only just taken its first client, every core spinning.
class TestPlatform : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QProcess xvfb;
    std::vector<std::unique_ptr<QProcess>> load;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();

    // The runs a platform start is tried under load; a start that fails one
    // time in five is caught with a chance of more than nine in ten.
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
        for (int i = 0; i < 3; ++i) {
            load.push_back(std::make_unique<QProcess>());
            load.back()->start("sh", {"-c", "while :; do :; done"});
        }
    }
    void cleanupTestCase()
    {
        for (auto &busy : load) {
            busy->kill();
            busy->waitForFinished();
        }
        xvfb.terminate();
        xvfb.waitForFinished(5000);
    }

    // Each start leaves the server with no client once it ends, so the next
    // finds it resetting itself: a script still runs, never ending 69.
    void scriptNeverWantsForAScreen()
    {
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
};

QTEST_MAIN(TestPlatform)
#include "tst_platform.moc"
