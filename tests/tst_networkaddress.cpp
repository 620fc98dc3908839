#include "lineport.h"
#include "networkaddress.h"

#include <QTest>

// How a network port is written, and when two names are one port.
class TestNetworkAddress : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("rfc2217");
        QTest::addColumn<QString>("host"); // empty: refused
        QTest::addColumn<int>("port");
        QTest::newRow("a host name") << "rfc2217://fixture-3:4001" << true << "fixture-3" << 4001;
        QTest::newRow("IPv4, raw") << "tcp://192.0.2.7:2000" << false << "192.0.2.7" << 2000;
        QTest::newRow("IPv6 in brackets") << "rfc2217://[::1]:4001" << true << "::1" << 4001;
        QTest::newRow("the prefix in capitals") << "RFC2217://fixture:1" << true << "fixture" << 1;
        QTest::newRow("the highest port") << "tcp://h:65535" << false << "h" << 65535;
        QTest::newRow("no port") << "rfc2217://fixture-3" << true << "" << 0;
        QTest::newRow("port 0") << "rfc2217://fixture-3:0" << true << "" << 0;
        QTest::newRow("port past 65535") << "tcp://h:65536" << false << "" << 0;
        QTest::newRow("port not a number") << "tcp://h:40a1" << false << "" << 0;
        QTest::newRow("port with a sign") << "tcp://h:+40" << false << "" << 0;
        QTest::newRow("no host") << "tcp://:4001" << false << "" << 0;
        QTest::newRow("IPv6 without brackets") << "rfc2217://::1:4001" << true << "" << 0;
        QTest::newRow("brackets around no IPv6") << "rfc2217://[fixture]:4001" << true << "" << 0;
        QTest::newRow("a path after the port") << "tcp://h:4001/x" << false << "" << 0;
    }
    void parse()
    {
        QFETCH(QString, name);
        QFETCH(QString, host);
        QVERIFY(NetworkAddress::isNetwork(name));
        QString error;
        const NetworkAddress address = NetworkAddress::parse(name, &error);
        QCOMPARE(address.valid(), !host.isEmpty());
        if (host.isEmpty()) {
            QVERIFY2(error.contains(name) && error.contains("HOST:PORT"), qPrintable(error));
            return;
        }
        QTEST(address.protocol == NetworkAddress::Protocol::Rfc2217, "rfc2217");
        QCOMPARE(address.host, host);
        QTEST(int(address.port), "port");
    }

    // Two bays on one host and port are one port, however either is written.
    void samePlace_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("same");
        QTest::newRow("one name") << "rfc2217://fixture-3:4001" << "rfc2217://fixture-3:4001" << true;
        QTest::newRow("raw and rfc2217") << "tcp://fixture-3:4001" << "rfc2217://fixture-3:4001" << true;
        QTest::newRow("case of the host") << "rfc2217://Fixture-3:4001" << "rfc2217://fixture-3:4001" << true;
        QTest::newRow("IPv6 written two ways") << "rfc2217://[::1]:4001" << "rfc2217://[0:0::1]:4001" << true;
        QTest::newRow("IPv4 mapped into IPv6") << "tcp://[::ffff:127.0.0.1]:9" << "tcp://127.0.0.1:9" << true;
        QTest::newRow("another port") << "rfc2217://fixture-3:4001" << "rfc2217://fixture-3:4002" << false;
        QTest::newRow("another host") << "rfc2217://fixture-3:4001" << "rfc2217://fixture-4:4001" << false;
        QTest::newRow("a serial port beside") << "rfc2217://fixture-3:4001" << "/dev/null" << false;
    }
    void samePlace()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QVERIFY(!LinePort::placeOf(a).isEmpty());
        QTEST(LinePort::placeOf(a) == LinePort::placeOf(b), "same");
    }
};

QTEST_GUILESS_MAIN(TestNetworkAddress)
#include "tst_networkaddress.moc"
