#include "networkport.h"
#include "ser2netrun.h"
#include "updateraccess.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <utility>

using ser2net::Sim;

// A network port that is not there, or not what it should be: waited for
// within the bounds given, refused at start, diagnosed.
class TestNetworkWait : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    static QProcess *updater(const QStringList &arguments)
    {
        auto *process = new QProcess;
        process->start(qEnvironmentVariable("PELKOUPDATE_BIN"), QStringList{"-platform", "offscreen"} + arguments);
        return process;
    }
    QStringList update(const QString &port, const QString &timeout)
    {
        return {"--port", port, "--file", testing::writeFile(dir, "fw.plk", testing::pattern(1024)), "--download",
                "--timeout", timeout};
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!ser2net::program().isEmpty(), "ser2net is not installed: make deps installs it");
    }

    // Nothing listening is a port not there yet: waited for within
    // --timeout, the host and port named, then exit 2.
    void nothingListening()
    {
        const QString url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(ser2net::freePort());
        QElapsedTimer took;
        took.start();
        std::unique_ptr<QProcess> run(updater(update(url, "2")));
        QVERIFY(run->waitForFinished(10000));
        QVERIFY(took.elapsed() < 4000);
        QCOMPARE(run->exitCode(), 2);
        const QByteArray out = run->readAllStandardOutput();
        const QByteArray err = run->readAllStandardError();
        QVERIFY2(out.contains("waiting for " + url.toLatin1() + " to appear (nothing listening at 127.0.0.1:"), out.constData());
        QVERIFY2(err.contains("no progress for 2 s while waiting for " + url.toLatin1() + " to appear"), err.constData());
    }

    // The server starts a second after the updater: the port is used once it is there.
    void listeningLate()
    {
        const QString out = dir.filePath("late.bin");
        Sim sim({"--once", "--out", out});
        const quint16 port = ser2net::freePort();
        const QString url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(port);
        std::unique_ptr<QProcess> run(updater(update(url, "5")));
        QByteArray said;
        QVERIFY(testing::waitFor([&] { return (said += run->readAllStandardOutput()).contains("waiting for " + url.toLatin1()); }, 5000));
        QTest::qWait(1000);
        ser2net::Server server;
        QVERIFY(server.start(ser2net::connection("telnet(rfc2217),tcp", "127.0.0.1", port, sim.port), port));
        QVERIFY(run->waitForFinished(20000));
        QCOMPARE(run->exitCode(), 0);
        QVERIFY(sim.process->waitForFinished(5000));
        QCOMPARE(testing::received(out), testing::pattern(1024));
    }

    // A server that accepts and says nothing: each look is bounded, the
    // reason is told, and --timeout ends the wait.
    void silentServer()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QList<QTcpSocket *> held;
        connect(&silent, &QTcpServer::newConnection, this, [&] { held += silent.nextPendingConnection(); });
        const QString url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(silent.serverPort());
        QElapsedTimer took;
        took.start();
        std::unique_ptr<QProcess> run(updater(update(url, "4")));
        QVERIFY(testing::waitFor([&] { return run->state() == QProcess::NotRunning; }, 10000));
        QVERIFY(took.elapsed() < 6000);
        QCOMPARE(run->exitCode(), 2);
        const QByteArray out = run->readAllStandardOutput();
        QVERIFY2(out.contains("did not agree to binary transmission and the COM-PORT-OPTION within 3 s"), out.constData());
        QVERIFY(!held.isEmpty());
        qDeleteAll(held);
    }

    // A server of the test's own, in this process, saying what ser2net says
    // and then answering the settings as the row asks: never, wrongly, or
    // by refusing the option. The port waits a bounded time for answers,
    // sends the settings once, and doubles IAC in what it writes.
    void serverAnswers_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("opening");
        QTest::addColumn<QString>("why");
        const QByteArray agrees = QByteArray::fromHex("fffd00" "fffb00" "fffd2c");
        QTest::newRow("never answers the settings") << agrees << QByteArray() << int(LinePort::Opening::Open) << "";
        QTest::newRow("answers 9600 baud") << agrees << QByteArray::fromHex("fffa2c6500002580fff0")
                                           << int(LinePort::Opening::NotSetUp) << "baud rate to 9600";
        QTest::newRow("refuses the COM-PORT-OPTION")
            << QByteArray::fromHex("fffd00" "fffb00" "fffe2c") << QByteArray() << int(LinePort::Opening::NotSetUp)
            << "refused binary transmission or the COM-PORT-OPTION";
    }
    void serverAnswers()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(QByteArray, answer);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTcpSocket *peer = nullptr;
        QByteArray heard;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            peer = server.nextPendingConnection();
            peer->write(greeting);
            connect(peer, &QTcpSocket::readyRead, this, [&] {
                heard += peer->readAll();
                if (heard.contains(QByteArray::fromHex("fffa2c01")) && !answer.isEmpty())
                    peer->write(std::exchange(answer, QByteArray()));
            });
        });
        const QString name = QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.serverPort());
        NetworkPort port(name);
        QSignalSpy arrived(&port, &LinePort::arrived);
        QElapsedTimer took;
        took.start();
        QCOMPARE(port.find(name, nullptr), QString());
        QVERIFY(arrived.wait(NetworkPort::negotiationBound));
        const int opening = int(port.open(name));
        QTEST(opening, "opening");
        QFETCH(QString, why);
        QVERIFY2(port.errorString().contains(why), qPrintable(port.errorString()));
        if (opening != int(LinePort::Opening::Open))
            return;
        QVERIFY(took.elapsed() >= NetworkPort::answerBound);
        const QByteArray frame = QByteArray::fromHex("7eff50040011ff22");
        port.write(frame.constData(), frame.size());
        QVERIFY(testing::waitFor([&] { return heard.endsWith(QByteArray::fromHex("7effff50040011ffff22")); }, 2000));
        QCOMPARE(heard.count(QByteArray::fromHex("fffa2c01")), 1);
    }

    // A raw server that takes each connection and drops it at once (its
    // device missing, as ser2net says "Device open failure"): a port not
    // there, told with its reason, and --timeout ends the wait; --doctor
    // finds it in the way. It came and went for ever before.
    void serverDropsEachConnection()
    {
        QTcpServer dropping;
        QVERIFY(dropping.listen(QHostAddress::LocalHost));
        connect(&dropping, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *socket = dropping.nextPendingConnection();
            socket->write("Device open failure\r\n");
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        });
        const QString url = QStringLiteral("tcp://127.0.0.1:%1").arg(dropping.serverPort());
        std::unique_ptr<QProcess> run(updater(update(url, "2")));
        QVERIFY(testing::waitFor([&] { return run->state() == QProcess::NotRunning; }, 10000));
        QCOMPARE(run->exitCode(), 2);
        const QByteArray out = run->readAllStandardOutput();
        QVERIFY2(out.contains("closed the connection, saying \"Device open failure\""), out.constData());
        std::unique_ptr<QProcess> doctor(updater({"--doctor", "--port", url}));
        QVERIFY(testing::waitFor([&] { return doctor->state() == QProcess::NotRunning; }, 10000));
        QCOMPARE(doctor->exitCode(), 1);
    }

    // Two bays on one host and port, however written, are one port.
    void twoBaysOnOnePort_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("an address, and the same mapped") << "rfc2217://127.0.0.1:%1" << "tcp://[::ffff:127.0.0.1]:%1";
        QTest::newRow("a name, and its address") << "rfc2217://localhost:%1" << "rfc2217://127.0.0.1:%1";
    }
    void twoBaysOnOnePort()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        const quint16 port = ser2net::freePort();
        std::unique_ptr<QProcess> run(updater({"--station", "--download", "--file",
                                               testing::writeFile(dir, "fw.plk", testing::pattern(64)), "--port",
                                               first.arg(port), "--port", second.arg(port)}));
        QVERIFY(run->waitForFinished(10000));
        QCOMPARE(run->exitCode(), 64);
        const QByteArray err = run->readAllStandardError();
        QVERIFY2(err.contains("pelkoupdate: bays 1 and 2 are one port"), err.constData());
    }

    // --doctor on a network port: each step said, ok or why not.
    void doctor_data()
    {
        QTest::addColumn<bool>("served");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("served by ser2net")
            << true << 0 << QStringList{"name (URL): ok", "port (URL): ok", "options (URL): ok", "line (URL): ok"};
        QTest::newRow("nothing listening")
            << false << 1 << QStringList{"name (URL): ok", "port (URL): nothing listening at 127.0.0.1:"};
    }
    void doctor()
    {
        QFETCH(bool, served);
        QFETCH(QStringList, lines);
        Sim sim({});
        const quint16 port = ser2net::freePort();
        const QString url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(port);
        ser2net::Server server;
        if (served)
            QVERIFY(server.start(ser2net::connection("telnet(rfc2217),tcp", "127.0.0.1", port, sim.port), port));
        std::unique_ptr<QProcess> run(updater({"--doctor", "--port", url}));
        QVERIFY(run->waitForFinished(10000));
        QTEST(run->exitCode(), "exitCode");
        const QStringList said = QString::fromLocal8Bit(run->readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(said.size(), lines.size());
        for (int i = 0; i < lines.size(); ++i)
            QVERIFY2(said[i].startsWith(QString(lines[i]).replace("URL", url)), qPrintable(said.join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestNetworkWait)
#include "tst_networkwait.moc"
