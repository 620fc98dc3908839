#include "ser2netconfig.h"
#include "ser2netrun.h"
#include "updateraccess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using ser2net::Sim;

// Updates through Debian's ser2net in front of simulated devices: the
// network port as users run it, RFC 2217 and raw.
class TestNetworkPort : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    static QProcess *updater(const QStringList &arguments)
    {
        auto *process = new QProcess;
        process->start(qEnvironmentVariable("PELKOUPDATE_BIN"),
                       QStringList{"-platform", "offscreen", "--download", "--timeout", "5"} + arguments);
        return process;
    }
    static QJsonObject lastEvent(const QByteArray &out)
    {
        const QList<QByteArray> lines = out.trimmed().split('\n');
        return QJsonDocument::fromJson(lines.last()).object();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!ser2net::program().isEmpty(), "ser2net is not installed: make deps installs it");
    }

    // The exact image, 0xFF and frame bytes and all, by either protocol,
    // by IPv4 and IPv6.
    void exactImage_data()
    {
        QTest::addColumn<QString>("accepter");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("url");
        QTest::newRow("rfc2217") << "telnet(rfc2217),tcp" << "127.0.0.1" << "rfc2217://127.0.0.1:%1";
        QTest::newRow("raw") << "tcp" << "127.0.0.1" << "tcp://127.0.0.1:%1";
        QTest::newRow("rfc2217 over IPv6") << "telnet(rfc2217),tcp" << "::1" << "rfc2217://[::1]:%1";
    }
    void exactImage()
    {
        QFETCH(QString, accepter);
        QFETCH(QString, host);
        QFETCH(QString, url);
        const QString out = dir.filePath(QStringLiteral("exact-%1.bin").arg(QTest::currentDataTag()));
        const QByteArray image = ser2net::richImage(6000);
        Sim sim({"--once", "--out", out});
        const quint16 port = ser2net::freePort();
        ser2net::Server server;
        QVERIFY(server.start(ser2net::connection(accepter, host, port, sim.port), port));
        std::unique_ptr<QProcess> run(updater({"--port", url.arg(port), "--file", testing::writeFile(dir, "rich.plk", image)}));
        QVERIFY(run->waitForFinished(20000));
        QVERIFY2(run->exitCode() == 0, run->readAllStandardError().constData());
        QVERIFY(sim.process->waitForFinished(5000));
        QCOMPARE(testing::received(out), testing::padded(image));
    }

    // ser2net opens the terminal at 9600 baud: the rfc2217 client sets it to
    // 57600 once connected; a raw port leaves the server's line alone.
    void lineSetByTheClient_data()
    {
        QTest::addColumn<QString>("accepter");
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("speed");
        QTest::newRow("rfc2217") << "telnet(rfc2217),tcp" << "rfc2217://127.0.0.1:%1" << int(B57600);
        QTest::newRow("raw") << "tcp" << "tcp://127.0.0.1:%1" << int(B9600);
    }
    void lineSetByTheClient()
    {
        QFETCH(QString, accepter);
        QFETCH(QString, url);
        QFETCH(int, speed);
        Sim sim({"--once", "--late", "2"});
        // The terminal as ser2net opens it: its settings are the line's.
        const int line = ::open(QFile::encodeName(sim.port).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(line >= 0);
        const quint16 port = ser2net::freePort();
        ser2net::Server server;
        QVERIFY(server.start(ser2net::connection(accepter, "127.0.0.1", port, sim.port, "9600n81"), port));
        std::unique_ptr<QProcess> run(updater({"--port", url.arg(port), "--file", testing::writeFile(dir, "line.plk", testing::pattern(800))}));
        QByteArray said;
        QVERIFY(testing::waitFor([&] { return (said += run->readAllStandardOutput()).contains("in progressing"); }, 10000));
        termios tio{};
        QCOMPARE(::tcgetattr(line, &tio), 0);
        ::close(line);
        QCOMPARE(int(::cfgetospeed(&tio)), speed);
        QVERIFY(run->waitForFinished(20000));
        QCOMPARE(run->exitCode(), 0);
    }

    // ser2net killed and started again mid-transfer: the port is lost, waited
    // for, and the same unit goes on to the exact image.
    void serverRestartedMidTransfer()
    {
        const QString out = dir.filePath("restart.bin");
        const QByteArray image = ser2net::richImage(3000);
        Sim sim({"--once", "--out", out, "--late", "1"});
        const quint16 port = ser2net::freePort();
        ser2net::Server server;
        QVERIFY(server.start(ser2net::connection("telnet(rfc2217),tcp", "127.0.0.1", port, sim.port), port));
        std::unique_ptr<QProcess> run(updater({"--port", QStringLiteral("rfc2217://127.0.0.1:%1").arg(port),
                                               "--file", testing::writeFile(dir, "restart.plk", image), "--json"}));
        QByteArray said;
        QVERIFY(testing::waitFor([&] { return (said += run->readAllStandardError()).contains("progress 30%"); }, 10000));
        QVERIFY(server.restart());
        QVERIFY(run->waitForFinished(20000));
        said += run->readAllStandardError();
        QVERIFY2(run->exitCode() == 0, said.constData());
        QVERIFY2(said.contains("lost at") && said.contains("back after"), said.constData());
        const QJsonObject result = lastEvent(run->readAllStandardOutput());
        QCOMPARE(result.value("outcome").toString(), QStringLiteral("updated"));
        QCOMPARE(result.value("reconnects").toInt(), 1);
        QVERIFY(sim.process->waitForFinished(5000));
        QCOMPARE(testing::received(out), testing::padded(image));
    }

    // A line of a bay on this machine and a bay across the network, in one
    // process: each unit gets its image.
    void lineOfLocalAndNetworkBay()
    {
        const QString localOut = dir.filePath("local.bin"), netOut = dir.filePath("net.bin");
        const QByteArray image = ser2net::richImage(4000);
        Sim local({"--once", "--out", localOut});
        Sim remote({"--once", "--out", netOut});
        const quint16 port = ser2net::freePort();
        ser2net::Server server;
        QVERIFY(server.start(ser2net::connection("telnet(rfc2217),tcp", "127.0.0.1", port, remote.port), port));
        std::unique_ptr<QProcess> run(updater({"--station", "--count", "2", "--leave-seconds", "1",
                                               "--port", local.port, "--port",
                                               QStringLiteral("rfc2217://127.0.0.1:%1").arg(port), "--file",
                                               testing::writeFile(dir, "line.plk", image)}));
        QVERIFY(run->waitForFinished(30000));
        const QByteArray said = run->readAllStandardOutput();
        QVERIFY2(run->exitCode() == 0, said.constData());
        QVERIFY2(said.contains("line: 2 units, 2 passed, 0 failed"), said.constData());
        QVERIFY(local.process->waitForFinished(5000));
        QVERIFY(remote.process->waitForFinished(5000));
        QCOMPARE(testing::received(localOut), testing::padded(image));
        QCOMPARE(testing::received(netOut), testing::padded(image));
    }

    // What --ser2net-config writes serves each socket's port under its own
    // TCP port: ser2net takes it, and an update reaches the second socket.
    void configServesEachSocket()
    {
        const QString out = dir.filePath("socket2.bin");
        const QByteArray image = testing::pattern(2000, 7);
        Sim first({"--once"});
        Sim second({"--once", "--out", out});
        QTemporaryDir byPath;
        QVERIFY(QFile::link(first.port, byPath.filePath("pci-0000:00:14.0-usb-0:1.1:1.0-port0")));
        QVERIFY(QFile::link(second.port, byPath.filePath("pci-0000:00:14.0-usb-0:1.2:1.0-port0")));
        const quint16 base = ser2net::freePort();
        QVERIFY(!ser2net::listening(base + 1));
        QString error;
        const QList<ser2netconfig::Served> served = ser2netconfig::plan(byPath.path(), base, {}, &error);
        QCOMPARE(served.size(), 2);
        QCOMPARE(served[1].tcpPort, base + 1);
        QVERIFY(served[1].byPath.endsWith("usb-0:1.2:1.0-port0"));
        ser2net::Server server;
        QVERIFY(server.start(ser2netconfig::yaml(served, "127.0.0.1").section("---\n", 1), base + 1));
        std::unique_ptr<QProcess> run(updater({"--port", QStringLiteral("rfc2217://127.0.0.1:%1").arg(base + 1),
                                               "--file", testing::writeFile(dir, "socket.plk", image)}));
        QVERIFY(run->waitForFinished(20000));
        QCOMPARE(run->exitCode(), 0);
        QVERIFY(second.process->waitForFinished(5000));
        QCOMPARE(testing::received(out), image);
    }
};

QTEST_GUILESS_MAIN(TestNetworkPort)
#include "tst_networkport.moc"
