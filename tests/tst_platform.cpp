#include "ptydevice.h"
#include "updateraccess.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
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
    // is, every time. It is up once it asks for the device.
    void windowFindsTheScreen()
    {
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
};

QTEST_MAIN(TestPlatform)
#include "tst_platform.moc"
