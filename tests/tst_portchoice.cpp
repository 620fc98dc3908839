#include "portchoice.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

// Ports by what they are, and a script that never guesses one.
class TestPortChoice : public QObject
{
    Q_OBJECT

    static PortIdentity usb(const QString &name, quint16 vid, quint16 pid, const QString &serial)
    {
        PortIdentity port(name, "/dev/" + name);
        port.description = "FT232R USB UART";
        port.manufacturer = "FTDI";
        port.serialNumber = serial;
        port.usb = true;
        port.vendorId = vid;
        port.productId = pid;
        return port;
    }
    const QList<PortIdentity> machine{
        PortIdentity("ttyS0", "/dev/ttyS0"), usb("ttyUSB0", 0x0403, 0x6001, "A50285BI"),
        usb("ttyUSB1", 0x0403, 0x6001, "B7"), usb("ttyACM0", 0x2341, 0x0043, "")};

private slots:
    void listing()
    {
        const portchoice::Outcome outcome = portchoice::list(machine);
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.said.split('\n'),
                 (QStringList{"ttyS0  /dev/ttyS0  (no USB identity)",
                              "ttyUSB0  /dev/ttyUSB0  usb:0403:6001:A50285BI  \"FT232R USB UART, FTDI\"",
                              "ttyUSB1  /dev/ttyUSB1  usb:0403:6001:B7  \"FT232R USB UART, FTDI\"",
                              "ttyACM0  /dev/ttyACM0  usb:2341:0043  \"FT232R USB UART, FTDI\""}));
    }

    // Names and the strings adapters carry about themselves come from
    // outside: in a listing or a diagnosis they never break a line, steer
    // the terminal or make a line read backwards.
    void hostileNames()
    {
        PortIdentity hostile = usb("ttyUSB9\n\x1b[2J", 0x0403, 0x6001, "S\x1b[31m");
        hostile.location = "/dev/serial/by-id/evil\nline";
        hostile.description = QString::fromUtf8("FT232R \u202eTRAU\u2028next\u2029para");
        hostile.manufacturer = "\x07" "bell";
        const QList<PortIdentity> ports{hostile, usb("ttyUSB0", 0x0403, 0x6002, "A1")};
        const QString listed = portchoice::list(ports).said;
        const QString diagnosed = portchoice::doctor({"/dev/evil\n\x1b[2J\u202e"}, ports).said;
        QCOMPARE(listed.count('\n'), 1); // a line a port
        for (const QString &said : {listed, diagnosed}) {
            for (const QChar c : said) {
                const char16_t u = c.unicode();
                QVERIFY2(u == '\n' || (u >= 0x20 && u != 0x7f && !(u >= 0x80 && u < 0xa0) && u != 0x202e
                                       && u != 0x2028 && u != 0x2029),
                         qPrintable(QStringLiteral("U+%1 in: %2").arg(uint(u), 4, 16, QLatin1Char('0')).arg(said)));
            }
        }
        QVERIFY2(listed.contains("ttyUSB9\\n\\x1b[2J") && listed.contains("\\u202eTRAU\\u2028next"),
                 qPrintable(listed));
        QVERIFY2(diagnosed.startsWith("port (/dev/evil\\n\\x1b[2J\\u202e): /dev/evil\\n\\x1b[2J\\u202e does not exist"),
                 qPrintable(diagnosed));
    }

    void matches_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("chosen"); // "64": a bad command line; empty: none yet, waited for
        QTest::newRow("usb with serial") << "usb:0403:6001:B7" << "ttyUSB1";
        QTest::newRow("usb, upper-case hex") << "usb:2341:0043" << "ttyACM0";
        QTest::newRow("USB:, as people type it") << "USB:2341:0043" << "ttyACM0";
        QTest::newRow("serial alone") << "serial:A50285BI" << "ttyUSB0";
        QTest::newRow("the socket it is in") << "usb-path:pci-0000:00:14.0-usb-0:1.2:1.0" << "ttyUSB1";
        QTest::newRow("another socket") << "usb-path:pci-0000:00:14.0-usb-0:1.3:1.0" << "";
        QTest::newRow("a plain name is kept") << "ttyS0" << "ttyS0";
        QTest::newRow("two adapters of one kind") << "usb:0403:6001" << "64";
        QTest::newRow("no such adapter yet") << "usb:1a86:7523" << "";
        QTest::newRow("no such serial yet") << "serial:nope" << "";
        QTest::newRow("not hex") << "usb:xyz:6001" << "64";
        QTest::newRow("no product") << "usb:0403" << "64";
        QTest::newRow("empty serial") << "serial:" << "64";
        QTest::newRow("empty socket") << "usb-path:" << "64";
    }
    // A --port stays as given, and names its port anew each time it is asked.
    void matches()
    {
        QFETCH(QString, port);
        QFETCH(QString, chosen);
        Options options;
        options.ports = {port};
        options.download = true;
        QList<PortIdentity> ports = machine;
        ports[2].usbPath = "pci-0000:00:14.0-usb-0:1.2:1.0";
        const portchoice::Outcome outcome = portchoice::resolve(options, ports);
        QCOMPARE(outcome.exitCode, chosen == "64" ? 64 : -1);
        if (chosen == "64") {
            QVERIFY2(outcome.said.contains(port), qPrintable(outcome.said));
            return;
        }
        QCOMPARE(options.ports, QStringList{port});
        QCOMPARE(portidentity::resolve(port, ports), chosen);
    }

    // --download without --port takes the one USB port and says so; with
    // none or several it names them and sends nothing.
    void neverGuesses_data()
    {
        QTest::addColumn<int>("usbPorts");
        QTest::addColumn<bool>("download");
        QTest::newRow("no USB port") << 0 << true;
        QTest::newRow("one USB port") << 1 << true;
        QTest::newRow("two USB ports") << 2 << true;
        QTest::newRow("the window chooses as always") << 2 << false;
    }
    // A port the doctor cannot find is what is in the way, never "ok".
    void doctorFindsNoPort_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("said");
        QTest::newRow("a name that is not there") << "ttyUSB9" << "port (/dev/ttyUSB9): /dev/ttyUSB9 does not exist";
        QTest::newRow("a path that is not there") << "/dev/pts/99" << "port (/dev/pts/99): /dev/pts/99 does not exist";
        QTest::newRow("usb: matching none") << "usb:1a86:7523" << "port (usb:1a86:7523): usb:1a86:7523 matches 0 ports";
        QTest::newRow("usb: matching two") << "usb:0403:6001" << "port (usb:0403:6001): usb:0403:6001 matches 2 ports";
        QTest::newRow("serial: matching none") << "serial:nope" << "port (serial:nope): serial:nope matches 0 ports";
    }
    void doctorFindsNoPort()
    {
        QFETCH(QString, port);
        QFETCH(QString, said);
        const portchoice::Outcome outcome = portchoice::doctor({port}, machine);
        QCOMPARE(outcome.exitCode, 1);
        QVERIFY2(outcome.said.startsWith(said), qPrintable(outcome.said));
        QVERIFY2(!outcome.said.contains(": ok"), qPrintable(outcome.said));
        // As JSON: an object a check.
        const portchoice::Outcome json = portchoice::doctor({port}, machine, true);
        QCOMPARE(json.exitCode, 1);
        const QJsonObject check = QJsonDocument::fromJson(json.said.split('\n').first().toUtf8()).object();
        QCOMPARE(check.value("check").toString(), QStringLiteral("port"));
        QCOMPARE(check.value("ok").toBool(true), false);
        QVERIFY(check.value("problem").toString().startsWith(said.section(": ", 1)));
    }

    void neverGuesses()
    {
        QFETCH(int, usbPorts);
        QFETCH(bool, download);
        const QList<PortIdentity> ports = QList<PortIdentity>{machine[0]} + machine.mid(1, usbPorts);
        Options options;
        options.download = download;
        const portchoice::Outcome outcome = portchoice::resolve(options, ports);
        if (!download) {
            QCOMPARE(outcome.exitCode, -1);
            QVERIFY(options.ports.isEmpty());
        } else if (usbPorts == 1) {
            QCOMPARE(outcome.exitCode, -1);
            QCOMPARE(options.ports, QStringList{"ttyUSB0"});
            QVERIFY2(outcome.said.startsWith("using ttyUSB0  /dev/ttyUSB0  usb:0403:6001:A50285BI"),
                     qPrintable(outcome.said));
        } else {
            QCOMPARE(outcome.exitCode, 64);
            QVERIFY(options.ports.isEmpty());
            QVERIFY2(outcome.said.contains(QStringLiteral("%1 USB serial ports").arg(usbPorts))
                         && outcome.said.contains("ttyS0  /dev/ttyS0  (no USB identity)"),
                     qPrintable(outcome.said));
        }
    }
};

QTEST_GUILESS_MAIN(TestPortChoice)
#include "tst_portchoice.moc"
