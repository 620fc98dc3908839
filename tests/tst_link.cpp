#include "crctable.h"
#include "framecodec.h"
#include "updateraccess.h"

#include <QLabel>
#include <QProgressBar>
#include <QTest>

#include <QSocketNotifier>

#include <cerrno>
#include <termios.h>

using pty::hex;
using A = UpdaterAccess;

namespace {
using Frames = QList<QByteArray>;


Frames deframe(Deframer &deframer, const QByteArray &bytes, QByteArray *noise = nullptr)
{
    Frames frames;
    deframer.feed(
        reinterpret_cast<const unsigned char *>(bytes.constData()), bytes.size(),
        [&](const unsigned char *frame) { frames += QByteArray(reinterpret_cast<const char *>(frame), 10); },
        [&](const unsigned char *dropped, int count) {
            if (noise)
                noise->append(reinterpret_cast<const char *>(dropped), count);
        });
    return frames;
}
} // namespace

class TestLink : public QObject
{
    Q_OBJECT

    pty::Device *device = nullptr;
    std::unique_ptr<pelkoUpdate> window;

    // A window with its port open on the test's line, as after File.
    void openLine()
    {
        device = new pty::Device;
        window = testing::windowOn(*device);
        QVERIFY(A::openPort(*window, A::resolvedPort(*window)));
    }
    QByteArray sent(QByteArray payload, int length = 8)
    {
        A::sendFrame(*window, reinterpret_cast<unsigned char *>(payload.data()), length);
        return device->nextFrame();
    }

private slots:
    void cleanup()
    {
        window.reset();
        delete device;
        device = nullptr;
    }

    void checksum_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("crc");
        QTest::newRow("check value") << QByteArray("123456789") << 0x31C3;
        QTest::newRow("find device") << hex("50000000000000") << 0xEA97;
        QTest::newRow("get version") << hex("50010000000000") << 0xAF37;
        QTest::newRow("escapes in payload") << hex("50047e7d123408") << 0x20B1;
        QTest::newRow("checksum 7d") << hex("50042b00000000") << 0x087D;
        QTest::newRow("abc") << QByteArray("abc") << 0x9DD6;
        QTest::newRow("empty") << QByteArray() << 0;
    }
    void checksum()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, crc);
        const auto *bytes = reinterpret_cast<const unsigned char *>(data.constData());
        QCOMPARE(A::frameChecksum(bytes, int(data.size())), crc);
        QCOMPARE(A::frameChecksum(bytes, -1), 0);
        QCOMPARE(crcTable[0], 0);
    }

    void sendFrameOnTheWire_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("find device, old byte 7 lost") << hex("50000000000000aa") << hex("7eff50000000000000" "97");
        QTest::newRow("get version") << hex("5001000000000000") << hex("7eff50010000000000" "37");
        QTest::newRow("7e and 7d stuffed") << hex("50047e7d12340800") << hex("7eff50047d5e7d5d123408" "b1");
        QTest::newRow("checksum 7d stuffed") << hex("50042b0000000000") << hex("7eff50042b00000000" "7d5d");
        QTest::newRow("5d 5e 7f ff plain") << hex("50045d5e7fff0000") << QByteArray();
    }
    void sendFrameOnTheWire()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, wire);
        openLine();
        QByteArray caller = payload;
        const QByteArray frame = sent(caller);
        if (wire.isEmpty()) // only the plain bytes are known here; the checksum is checked by payloadOf
            QCOMPARE(frame.mid(2, 6), payload.left(6));
        else
            QCOMPARE(frame, wire);
        QCOMPARE(pty::payloadOf(frame).left(7), payload.left(7));
        A::sendFrame(*window, reinterpret_cast<unsigned char *>(caller.data()), 8);
        QCOMPARE(quint8(caller[7]), quint8(pty::crc(payload.left(7)) & 0xFF));
    }

    // 0x7D and 0x7E in each of the seven payload positions, and as checksum.
    void stuffingInEveryPosition()
    {
        openLine();
        for (int position = 0; position < 7; ++position) {
            for (char special : {'\x7d', '\x7e'}) {
                QByteArray payload = hex("5004112233440000");
                payload[position] = special;
                const QByteArray frame = sent(payload);
                QVERIFY2(!frame.mid(1).contains('\x7e'), frame.toHex().constData());
                QCOMPARE(pty::payloadOf(frame).left(7), payload.left(7));
                QCOMPARE(frame.size(), 11 + (pty::payloadOf(frame)[7] == '\x7d' || pty::payloadOf(frame)[7] == '\x7e'));
            }
        }
        for (quint8 wanted : {0x7D, 0x7E}) {
            QByteArray payload = hex("5004000000000000");
            for (int i = 0; i < 256 && (pty::crc(payload.left(7)) & 0xFF) != wanted; ++i)
                payload[2] = char(i);
            const QByteArray frame = sent(payload);
            QCOMPARE(frame.right(2), QByteArray("\x7d") + char(wanted ^ 0x20));
        }
    }

    void lengthIsClamped()
    {
        openLine();
        QByteArray payload = hex("50000000000000" "00" "eeeeee");
        QCOMPARE(sent(payload, 11), hex("7eff50000000000000" "97"));
        QCOMPARE(device->wire.size(), 10);
    }

    void sendSideEffects()
    {
        openLine();
        A::requestedOffset(*window) = 1020;
        A::imageSize(*window) = 4096;
        QVERIFY(!sent(hex("5000000000000000")).isEmpty());
        QCOMPARE(A::progress(*window), 24);
        QVERIFY(A::retryTimer(*window).isActive());
        QCOMPARE(A::retryTimer(*window).interval(), 200);
        QCOMPARE(A::ui(*window).label_tx->pixmap().toImage().pixelColor(7, 7), QColor(Qt::green));
        QTRY_COMPARE_WITH_TIMEOUT(A::ui(*window).label_tx->pixmap().toImage().pixelColor(7, 7),
                                  QColor(Qt::red), 1000);
    }

    void lineSettings()
    {
        openLine();
        termios tio{};
        QCOMPARE(::tcgetattr(device->master, &tio), 0);
        QCOMPARE(::cfgetospeed(&tio), speed_t(B57600));
        QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
        QCOMPARE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
        QCOMPARE(tio.c_iflag & (IXON | IXOFF), tcflag_t(0));
    }

    void progress_data()
    {
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("value");
        QTest::newRow("quarter") << qint64(1020) << qint64(4096) << 24;
        QTest::newRow("end") << qint64(2048) << qint64(2048) << 100;
        QTest::newRow("empty image") << qint64(0) << qint64(0) << 0;
        QTest::newRow("negative size") << qint64(8) << qint64(-11) << 0;
        QTest::newRow("offset past image") << qint64(0x7FFFFFFF) << qint64(4) << 100;
        QTest::newRow("negative offset") << qint64(-0x7FFFFFFF) << qint64(4096) << 0;
        QTest::newRow("no 32-bit overflow") << qint64(0x7FFFFFF0) << qint64(0x7FFFFFFF) << 99;
    }
    void progress()
    {
        QFETCH(qint64, offset);
        QFETCH(qint64, size);
        QFETCH(int, value);
        QCOMPARE(A::progressValue(offset, size), value);
    }

    // Device byte streams and the frames they hold.
    // Device byte streams, the frames they hold, and the bytes dropped.
    void deframer_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<Frames>("frames");
        QTest::addColumn<QByteArray>("noise");
        const QByteArray plain = hex("5080010203040506");
        QTest::newRow("plain frame") << hex("7e5e") + plain << Frames{hex("7e5e") + plain} << QByteArray();
        QTest::newRow("7e 7e 5e: no frame") << hex("7e7e5e") + plain << Frames{} << hex("7e7e5e") + plain;
        QTest::newRow("sent-frame shape ignored") << hex("7eff") + plain << Frames{} << hex("7eff") + plain;
        QTest::newRow("restart inside a frame") << hex("7e5e01027e5e") + plain << Frames{hex("7e5e") + plain}
                                                << hex("7e5e0102");
        QTest::newRow("escapes") << hex("7e5e50827d5e7d5d00000000") << Frames{hex("7e5e50827e7d00000000")}
                                 << QByteArray();
        QTest::newRow("7d 7d 41 stores 61") << hex("7e5e50827d7d410000000000")
                                            << Frames{hex("7e5e5082610000000000")} << QByteArray();
        QTest::newRow("wrong checksum delivered") << hex("7e5e50800000000000ee")
                                                  << Frames{hex("7e5e50800000000000ee")} << QByteArray();
        QTest::newRow("two frames in wire order") << hex("7e5e5080000000000001" "7e5e5081020100000002")
                                                  << Frames{hex("7e5e5080000000000001"), hex("7e5e5081020100000002")}
                                                  << QByteArray();
        QTest::newRow("noise around frames") << hex("00ff5e7d") + hex("7e5e") + plain + hex("5e5e41")
                                             << Frames{hex("7e5e") + plain} << hex("00ff5e7d5e5e41");
    }
    void deframer()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(Frames, frames);
        QFETCH(QByteArray, noise);
        Deframer whole;
        QByteArray dropped;
        QCOMPARE(deframe(whole, bytes, &dropped), frames);
        QCOMPARE(dropped.toHex(), noise.toHex());
        QCOMPARE(whole.droppedBytes, noise.size());
        for (int split = 0; split <= bytes.size(); ++split) {
            Deframer pieces;
            dropped.clear();
            Frames got = deframe(pieces, bytes.left(split), &dropped);
            got += deframe(pieces, bytes.mid(split), &dropped);
            QVERIFY2(got == frames && dropped == noise, qPrintable(QStringLiteral("split at %1").arg(split)));
        }
    }

    // The real read path: a frame behind more than one read's worth of noise
    // must still be answered, since the device sends nothing more until then.
    void receiveReadsEverything_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("frame alone") << pty::response(0x80);
        QTest::newRow("frame behind 3000 noise bytes") << QByteArray(3000, '\x11') + pty::response(0x80);
        QTest::newRow("frame split across writes") << QByteArray();
    }
    void receiveReadsEverything()
    {
        QFETCH(QByteArray, bytes);
        pty::Device line;
        const auto w = testing::windowOn(line);
        QTemporaryDir dir;
        A::choose(*w, testing::writeFile(dir, "fw.plk", testing::pattern(64)));
        QCOMPARE(line.nextFrame(), hex("7eff50000000000000" "97"));
        if (bytes.isEmpty()) {
            const QByteArray frame = pty::response(0x80);
            line.write(frame.left(4));
            QVERIFY(line.quietFor(50));
            line.write(frame.mid(4));
        } else {
            line.write(bytes);
        }
        QCOMPARE(line.nextFrame(), hex("7eff50010000000000" "37"));
        QCOMPARE(A::state(*w), qint32(StateGetVersion));
    }

    // The port's read notifier wakes with nothing to read, and errno holds
    // whatever an earlier call left there. Qt 6.4 reports that as an error
    // (and for some values stops reading); the line is healthy all the same.
    void falseAlarmsKeepTheLine_data()
    {
        QTest::addColumn<int>("staleErrno");
        QTest::newRow("ENOTTY, left by a refused ioctl") << ENOTTY;
        QTest::newRow("EAGAIN") << EAGAIN;
        QTest::newRow("EIO") << EIO;
        QTest::newRow("EBADF") << EBADF;
    }
    void falseAlarmsKeepTheLine()
    {
        QFETCH(int, staleErrno);
        pty::Device line;
        const auto w = testing::windowOn(line);
        QTemporaryDir dir;
        A::choose(*w, testing::writeFile(dir, "fw.plk", testing::pattern(64)));
        QCOMPARE(line.nextFrame(), hex("7eff50000000000000" "97"));
        QSocketNotifier *reader = nullptr;
        for (QSocketNotifier *n : A::port(*w).findChildren<QSocketNotifier *>())
            reader = n->type() == QSocketNotifier::Read ? n : reader;
        QVERIFY(reader);
        for (int i = 0; i < 3; ++i) {
            QEvent wakeUp(QEvent::SockAct);
            errno = staleErrno;
            QCoreApplication::sendEvent(reader, &wakeUp);
        }
        line.respond(0x80);
        QCOMPARE(line.nextFrame(), hex("7eff50010000000000" "37"));
        QCOMPARE(A::status(*w), QStringLiteral("get Version Info"));
        QVERIFY(A::portOpen(*w));
        QCOMPARE(A::port(*w).error(), QSerialPort::NoError);
    }

    // A pseudo-terminal refuses the low-latency request; its ENOTTY must not
    // stay behind for Qt to report later.
    void lowLatencyLeavesErrnoAlone()
    {
        STEP(openLine());
        errno = 0;
        A::setLowLatency(*window);
        QCOMPARE(errno, 0);
    }

    // An answer the driver held from before the port was opened is not an
    // answer to this updater's query.
    void staleInputIsDiscarded()
    {
        pty::Device line;
        line.respond(0x80);
        QVERIFY(line.quietFor(20));
        const auto w = testing::windowOn(line);
        QTemporaryDir dir;
        A::choose(*w, testing::writeFile(dir, "fw.plk", testing::pattern(64)));
        QCOMPARE(line.nextFrame(), hex("7eff50000000000000" "97"));
        QCOMPARE(line.nextFrame(1000), hex("7eff50000000000000" "97")); // still searching
        QCOMPARE(A::state(*w), qint32(StateFindDevice));
    }

    // A port that is not there is waited for, and nothing is sent or held
    // but the image; another port can be chosen meanwhile.
    void portThatIsNotThere()
    {
        pelkoUpdate::enumeratePorts = &testing::noMachinePorts;
        pelkoUpdate w(QStringList{"/dev/pelko-no-such-port"});
        QTemporaryDir dir;
        A::choose(w, testing::writeFile(dir, "fw.plk", testing::pattern(64)));
        // Not there yet: waited for, File still there to press.
        QCOMPARE(A::told(w), QStringLiteral("waiting for /dev/pelko-no-such-port to appear"));
        QVERIFY(A::fileEnabled(w));
        QVERIFY(!A::timerRunning(w));
        QVERIFY(!A::port(w).isOpen());
        QCOMPARE(A::state(w), qint32(StateFindDevice));
        QVERIFY(A::ui(w).comboBoxPort->isEnabled());

        // Another port, another try. Once open, the choice shows the port in
        // use and cannot name another.
        pty::Device line;
        A::ui(w).comboBoxPort->addItem(line.path);
        A::ui(w).comboBoxPort->setCurrentIndex(1);
        A::choose(w, A::fileName(w));
        QCOMPARE(line.nextFrame(), hex("7eff50000000000000" "97"));
        QVERIFY(!A::fileEnabled(w));
        QVERIFY(!A::ui(w).comboBoxPort->isEnabled());
        QCOMPARE(A::ui(w).comboBoxPort->currentText(), line.path);
        QCOMPARE(A::port(w).portName(), line.path.mid(5)); // as Qt names /dev/pts/N
    }

    // Two updaters on one device would mix their requests into one
    // transfer: the second is refused, by whatever name it opens the device,
    // and told who holds it.
    void portHeldByAnother_data()
    {
        QTest::addColumn<bool>("sameName");
        QTest::newRow("by another name") << false;
        QTest::newRow("by the same name") << true;
    }
    void portHeldByAnother()
    {
        QFETCH(bool, sameName);
        STEP(openLine());
        QTemporaryDir dir;
        QString link = dir.filePath("by-id-link");
        QVERIFY(QFile::link(device->path, link));
        link = sameName ? device->path : link;
        pelkoUpdate second(QStringList{link});
        A::choose(second, testing::writeFile(dir, "fw.plk", testing::pattern(64)));
        const QString inUse = QStringLiteral("Cannot open port %1: in use by pid %2 (tst_link)")
                                  .arg(link).arg(QCoreApplication::applicationPid());
        QCOMPARE(A::told(second), inUse);
        // The line has the holder's pid at least, never a toolkit's text.
        QVERIFY2(A::status(second).contains(QStringLiteral(": in use by pid %1").arg(QCoreApplication::applicationPid())),
                 qPrintable(A::status(second)));
        QVERIFY(!A::port(second).isOpen());
        QVERIFY(A::fileEnabled(second));
        // Once the first lets go, the port is free.
        window.reset();
        A::choose(second, A::fileName(second));
        QCOMPARE(device->nextFrame(), hex("7eff50000000000000" "97"));
    }

    // A device silent for 5 s: the status line keeps "finding device...",
    // and its tooltip tells what the system shows in the way, if anything.
    void silentDeviceHint()
    {
        STEP(openLine());
        QTemporaryDir dir;
        A::choose(*window, testing::writeFile(dir, "fw.plk", testing::pattern(64)));
        QLabel *status = A::ui(*window).labelStatusBar;
        QTRY_VERIFY_WITH_TIMEOUT(!status->toolTip().isEmpty(), 7000);
        QCOMPARE(status->text(), QStringLiteral("finding device..."));
        QVERIFY2(status->toolTip().startsWith("finding device...") && status->toolTip().size() > 20,
                 qPrintable(status->toolTip()));
        QCOMPARE(A::state(*window), qint32(StateFindDevice));
    }

    void noPortAtAll()
    {
        pelkoUpdate::enumeratePorts = &testing::noMachinePorts;
        pelkoUpdate w;
        QTemporaryDir dir;
        A::choose(w, testing::writeFile(dir, "fw.plk", testing::pattern(64)));
        QVERIFY2(A::status(w).startsWith("No serial port"), qPrintable(A::status(w)));
        QVERIFY(A::fileEnabled(w));
        QVERIFY(!A::timerRunning(w));
    }
};

QTEST_MAIN(TestLink)
#include "tst_link.moc"
