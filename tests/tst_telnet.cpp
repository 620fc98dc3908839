#include "telnet.h"

#include <QTest>

// The telnet client of network ports: what it makes of the server's bytes,
// what it answers, and the RFC 2217 settings it sends and checks.
class TestTelnet : public QObject
{
    Q_OBJECT

    // The server's bytes in the pieces given; the data they hold, and what
    // the client answered (in replies).
    static QByteArray feed(Telnet &telnet, const QByteArrayList &chunks, QByteArray *replies)
    {
        QByteArray data;
        for (const QByteArray &chunk : chunks) {
            QByteArray out(chunk.size(), '\0');
            const int n = telnet.decode(reinterpret_cast<const unsigned char *>(chunk.constData()),
                                        int(chunk.size()), reinterpret_cast<unsigned char *>(out.data()));
            data += out.left(n);
        }
        *replies = QByteArray(reinterpret_cast<const char *>(telnet.replies()), telnet.replyCount());
        telnet.repliesSent();
        return data;
    }
    static QByteArray opening() { return QByteArray::fromHex("fffb00" "fffd00" "fffb2c"); }
    static QByteArray settings()
    {
        return QByteArray::fromHex("fffa2c010000e100fff0" "fffa2c0208fff0" "fffa2c0301fff0"
                                   "fffa2c0401fff0" "fffa2c0501fff0");
    }
    // What ser2net 4.3 sends as a telnet(rfc2217) accepter takes a connection.
    static QByteArray ser2netGreeting()
    {
        return QByteArray::fromHex("fffb03" "fffd03" "fffb01" "fffe01" "fffd00" "fffb00" "fffd2c");
    }
    // A client that has opened and seen ser2net's greeting.
    static void agreed(Telnet &telnet)
    {
        QByteArray replies;
        telnet.begin();
        feed(telnet, {ser2netGreeting()}, &replies);
    }

private slots:
    void decode_data()
    {
        QTest::addColumn<QByteArrayList>("chunks");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("replies");
        QTest::addColumn<bool>("faulted");
        const QByteArray none;
        QTest::newRow("plain data") << QByteArrayList{"\x7e\x5e\x50"} << QByteArray("\x7e\x5e\x50") << none << false;
        QTest::newRow("IAC in data") << QByteArrayList{QByteArray::fromHex("7effff5effff50")}
                                     << QByteArray::fromHex("7eff5eff50") << none << false;
        QTest::newRow("doubled IAC split across reads")
            << QByteArrayList{QByteArray::fromHex("01ff"), QByteArray::fromHex("ff02")}
            << QByteArray::fromHex("01ff02") << none << false;
        QTest::newRow("an offer split at every byte")
            << QByteArrayList{"\xff", "\xfb", QByteArray("\x03", 1), "x"} << QByteArray("x")
            << QByteArray::fromHex("fffd03") << false;
        QTest::newRow("unknown options refused")
            << QByteArrayList{QByteArray::fromHex("fffb63" "fffd63" "fffb01" "fffd18")} << none
            << QByteArray::fromHex("fffe63" "fffc63" "fffe01" "fffc18") << false;
        QTest::newRow("refusing what is off is not answered")
            << QByteArrayList{QByteArray::fromHex("fffc63" "fffe63" "fffe2c")} << none << none << false;
        QTest::newRow("subnegotiation split, data after it")
            << QByteArrayList{QByteArray::fromHex("fffa2c650000"), QByteArray::fromHex("e100ff"),
                              QByteArray::fromHex("f04142")}
            << QByteArray("AB") << none << false;
        QTest::newRow("IAC doubled inside a subnegotiation")
            << QByteArrayList{QByteArray::fromHex("fffa2c6441ffff42fff043")} << QByteArray("C") << none
            << false;
        QTest::newRow("subnegotiation without end")
            << QByteArrayList{QByteArray::fromHex("fffa2c64"), QByteArray(40, 'x'), QByteArray(40, 'y')}
            << none << none << true;
        QTest::newRow("subnegotiation cut short by an offer")
            << QByteArrayList{QByteArray::fromHex("fffa2c6541fffb0344")} << QByteArray("D")
            << QByteArray::fromHex("fffd03") << false;
        QTest::newRow("one-byte commands dropped")
            << QByteArrayList{QByteArray::fromHex("41fff142fff943ff4144")} << QByteArray("ABCD") << none
            << false;
    }
    void decode()
    {
        QFETCH(QByteArrayList, chunks);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, replies);
        QFETCH(bool, faulted);
        Telnet telnet;
        QByteArray answered;
        QCOMPARE(feed(telnet, chunks, &answered), data);
        QCOMPARE(answered.toHex(' '), replies.toHex(' '));
        QCOMPARE(telnet.faulted(), faulted);
    }

    // The opening, ser2net's greeting answered, and the settings sent once.
    void negotiation_data()
    {
        QTest::addColumn<QByteArray>("server");
        QTest::addColumn<QByteArray>("replies");
        QTest::addColumn<bool>("binary");
        QTest::addColumn<bool>("settingsSent");
        QTest::addColumn<bool>("refused");
        QTest::newRow("ser2net's greeting")
            << ser2netGreeting()
            << opening() + QByteArray::fromHex("fffd03" "fffb03" "fffe01") + settings() << true << true << false;
        QTest::newRow("the option agreed twice: settings once")
            << ser2netGreeting() + QByteArray::fromHex("fffd2c")
            << opening() + QByteArray::fromHex("fffd03" "fffb03" "fffe01") + settings() << true << true << false;
        QTest::newRow("COM-PORT-OPTION refused")
            << QByteArray::fromHex("fffd00" "fffb00" "fffe2c") << opening() << true << false << true;
        QTest::newRow("binary refused")
            << QByteArray::fromHex("fffc00" "fffd2c") << opening() + settings() << false << true << true;
        QTest::newRow("binary withdrawn after agreed")
            << QByteArray::fromHex("fffd00" "fffb00" "fffd2c" "fffe00")
            << opening() + settings() + QByteArray::fromHex("fffc00") << false << true << true;
        QTest::newRow("a silent server") << QByteArray() << opening() << false << false << false;
    }
    void negotiation()
    {
        QFETCH(QByteArray, server);
        QFETCH(QByteArray, replies);
        Telnet telnet;
        telnet.begin();
        QByteArray answered;
        QCOMPARE(feed(telnet, {server}, &answered), QByteArray());
        QCOMPARE(answered.toHex(' '), replies.toHex(' '));
        QTEST(telnet.binary(), "binary");
        QTEST(telnet.settingsSent(), "settingsSent");
        QTEST(telnet.refused(), "refused");
    }

    // The server's answers to the settings: checked, a missing one tolerated.
    void answers_data()
    {
        QTest::addColumn<QByteArray>("server");
        QTest::addColumn<bool>("allAnswered");
        QTest::addColumn<int>("wrong");
        QTest::addColumn<uint>("wrongValue");
        const QByteArray all = QByteArray::fromHex("fffa2c650000e100fff0" "fffa2c6608fff0" "fffa2c6701fff0"
                                                   "fffa2c6801fff0" "fffa2c6901fff0");
        QTest::newRow("all answered as asked") << all << true << -1 << 0u;
        QTest::newRow("never answered") << QByteArray() << false << -1 << 0u;
        QTest::newRow("baud rate answered 9600")
            << QByteArray::fromHex("fffa2c6500002580fff0") << false << int(Telnet::Baud) << 9600u;
        QTest::newRow("an answer holding IAC")
            << QByteArray::fromHex("fffa2c6500ffffffff00fff0") << false << int(Telnet::Baud) << 0xFFFF00u;
        QTest::newRow("hardware flow control answered")
            << QByteArray::fromHex("fffa2c6903fff0") << false << int(Telnet::FlowControl) << 3u;
        QTest::newRow("DTR state on the control command passes")
            << all + QByteArray::fromHex("fffa2c6908fff0") << true << -1 << 0u;
        QTest::newRow("line and modem state notes pass")
            << QByteArray::fromHex("fffa2c6a60fff0" "fffa2c6b00fff0") + all << true << -1 << 0u;
    }
    void answers()
    {
        QFETCH(QByteArray, server);
        Telnet telnet;
        agreed(telnet);
        QByteArray replies;
        QCOMPARE(feed(telnet, {server}, &replies), QByteArray());
        QCOMPARE(replies, QByteArray()); // nothing re-sent
        QTEST(telnet.allAnswered(), "allAnswered");
        QTEST(telnet.wrongSetting(), "wrong");
        if (telnet.wrongSetting() >= 0)
            QTEST(uint(telnet.wrongValue()), "wrongValue");
    }

    // Every frame the program sends has 0xFF as its second byte; images are
    // full of it. What goes out doubled comes back as it was.
    void escape_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("no IAC") << QByteArray("\x7e\x5e\x50") << QByteArray("\x7e\x5e\x50");
        QTest::newRow("a frame of the updater's") << QByteArray::fromHex("7eff500400ffff7d5e")
                                                  << QByteArray::fromHex("7effff500400ffffffff7d5e");
        QTest::newRow("nothing but IAC") << QByteArray(3, '\xff') << QByteArray(6, '\xff');
        QTest::newRow("empty") << QByteArray() << QByteArray();
    }
    void escape()
    {
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, wire);
        QByteArray out(2 * data.size(), '\0');
        const int n = Telnet::escape(reinterpret_cast<const unsigned char *>(data.constData()), int(data.size()),
                                     reinterpret_cast<unsigned char *>(out.data()));
        QCOMPARE(out.left(n).toHex(' '), wire.toHex(' '));
        Telnet telnet;
        QByteArray replies;
        QCOMPARE(feed(telnet, {wire}, &replies), data);
    }
};

QTEST_GUILESS_MAIN(TestTelnet)
#include "tst_telnet.moc"
