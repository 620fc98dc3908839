#include "updateraccess.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <random>

#include <fcntl.h>
#include <unistd.h>

using pty::hex;
using A = UpdaterAccess;
using testing::padded;
using testing::pattern;

namespace {
const QByteArray findDevice = hex("7eff50000000000000" "97");
const QByteArray getVersion = hex("7eff50010000000000" "37");
const QByteArray startDownload = hex("7eff50030000000000" "77");
const QByteArray endOfImage = hex("7eff50050000000000" "96");
const QString versionText = QStringLiteral("Firm V01.0a, hardware V01.02, click Download");
const QString updated = QStringLiteral("Firmware is updated");
const QString timedOut = QStringLiteral("device time out, re-start this program");

// The data request the updater must send for a word at an offset.
QByteArray dataFrame(quint32 offset, const QByteArray &word)
{
    QByteArray payload = hex("5004") + word + char(offset & 0xFF);
    payload += char(pty::crc(payload) & 0xFF);
    return hex("7eff") + pty::stuff(payload);
}

} // namespace


class TestUpdate : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<pty::Device> line;
    std::unique_ptr<pelkoUpdate> w;
    QString path;

    void start(const QString &name, const QByteArray &bytes)
    {
        line = std::make_unique<pty::Device>();
        w = testing::windowOn(*line);
        path = testing::writeFile(dir, name, bytes);
        A::choose(*w, path);
        QCOMPARE(A::status(*w), line->path + "  " + path);
        QCOMPARE(w->windowTitle(), name + " - pelkoUpdate"); // which image goes out
        QVERIFY(!A::fileEnabled(*w));
        QCOMPARE(line->nextFrame(), findDevice);
        QCOMPARE(A::progress(*w), 0);
    }
    void toReady()
    {
        line->respond(0x80);
        QCOMPARE(line->nextFrame(), getVersion);
        QCOMPARE(A::status(*w), QStringLiteral("get Version Info"));
        QCOMPARE(A::state(*w), qint32(StateGetVersion));
        line->respond(0x81, 0x010A0102);
        QTRY_COMPARE(A::state(*w), qint32(StateReady));
        QCOMPARE(A::status(*w), versionText);
        QVERIFY(A::downloadEnabled(*w));
        QVERIFY(!A::timerRunning(*w));
    }
    void toDownload()
    {
        A::download(*w);
        QCOMPARE(line->nextFrame(), startDownload);
        QCOMPARE(A::status(*w), QStringLiteral("Please wait, in progressing..."));
        QCOMPARE(A::state(*w), qint32(StateStartDownload));
    }
    // The updater's next frame; none once it has stopped the transfer and
    // come to rest, and stayed quiet for longer than it waits to retry.
    QByteArray nextFrameOrRest()
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 3000) {
            const QByteArray frame = line->nextFrame(20);
            if (!frame.isEmpty())
                return frame;
            if (A::state(*w) == StateFindDevice && !A::timerRunning(*w))
                break;
        }
        line->quietFor(300); // what comes all the same is returned
        return line->frames.isEmpty() ? QByteArray() : line->frames.takeFirst();
    }
    // Plays a device that asks for 0, 4, 8, ... until the end-of-image
    // request, and answers that with "updated". Returns what it received.
    QByteArray serve(QByteArray *frames = nullptr)
    {
        QByteArray image;
        for (quint32 offset = 0;; offset += 4) {
            line->respond(0x82, offset);
            const QByteArray frame = nextFrameOrRest();
            if (frames)
                *frames += frame;
            const QByteArray payload = pty::payloadOf(frame);
            if (payload.size() != 8 || payload[1] == '\x05' || offset > 100000)
                break;
            if (payload[1] != '\x04' || quint8(payload[6]) != (offset & 0xFF)) {
                qWarning("offset %u: unexpected frame %s", offset, frame.toHex().constData());
                return image;
            }
            image += payload.mid(2, 4);
        }
        return image;
    }
    void finish()
    {
        line->respond(0x83);
        QTRY_COMPARE(A::status(*w), updated);
        QCOMPARE(A::state(*w), qint32(StateFindDevice));
        QVERIFY(!A::downloadEnabled(*w));
        QVERIFY(!A::fileEnabled(*w));
        QVERIFY(!A::timerRunning(*w));
        QCOMPARE(A::progress(*w), 100);
        QVERIFY(line->quietFor(300));
    }
    // Drives the procedure into a state with a 4-byte image.
    void driveTo(qint32 state)
    {
        STEP(start("fw.plk", hex("a1b2c3d4")));
        if (state == StateFindDevice)
            return;
        if (state == StateGetVersion) {
            line->respond(0x80);
            QCOMPARE(line->nextFrame(), getVersion);
            return;
        }
        STEP(toReady());
        if (state == StateReady)
            return;
        STEP(toDownload());
        if (state == StateStartDownload)
            return;
        line->respond(0x82, 0);
        QCOMPARE(line->nextFrame(), dataFrame(0, hex("a1b2c3d4")));
        if (state == StateSendData)
            return;
        line->respond(0x82, 4);
        QCOMPARE(line->nextFrame(), endOfImage);
        QCOMPARE(A::state(*w), qint32(StateEndOfImage));
    }

private slots:
    void cleanup()
    {
        w.reset();
        line.reset();
    }

    void wholeUpdateTraced()
    {
        const QByteArray image = pattern(2048);
        STEP(start("fw.plk", image));
        QCOMPARE(A::imageSize(*w), 2048);
        STEP(toReady());
        STEP(toDownload());
        for (quint32 offset = 0; offset < 2048; offset += 4) {
            line->respond(0x82, offset);
            QCOMPARE(line->nextFrame(), dataFrame(offset, image.mid(offset, 4)));
            QCOMPARE(A::readOffset(*w), offset < 1024 ? 1024 : 2048);
            if (offset == 1024)
                QCOMPARE(A::progress(*w), 50);
        }
        line->respond(0x82, 2048);
        QCOMPARE(line->nextFrame(), endOfImage);
        QCOMPARE(A::progress(*w), 100);
        QCOMPARE(A::state(*w), qint32(StateEndOfImage));
        STEP(finish());
    }

    void wholeImages_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("size");
        QTest::newRow("pelk, 1500-byte image") << "fw.pelk" << 1500;
        QTest::newRow("pelk, 64 KiB image") << "fw.pelk" << 65536;
        QTest::newRow("plk, 3 blocks and a word") << "fw.plk" << 3076;
        // Sizes that are not whole words end, padded with erased-flash bytes.
        for (int size : {1, 2, 3, 5, 1025, 1027}) {
            QTest::addRow("plk, %d bytes", size) << "fw.plk" << size;
            QTest::addRow("pelk, %d bytes", size) << "fw.pelk" << size;
        }
    }
    void wholeImages()
    {
        QFETCH(QString, name);
        QFETCH(int, size);
        const bool headed = name.endsWith(".pelk");
        const QByteArray image = pattern(size, 3);
        STEP(start(name, (headed ? QByteArray(16, '\x5a') : QByteArray()) + image));
        QCOMPARE(A::imageSize(*w), size);
        STEP(toReady());
        STEP(toDownload());
        QCOMPARE(serve(), padded(image));
        QCOMPARE(A::state(*w), qint32(StateEndOfImage));
        STEP(finish());
    }

    void versionTextFields()
    {
        STEP(driveTo(StateGetVersion));
        line->respond(0x81, 0x010A00FF);
        QTRY_COMPARE(A::status(*w), QStringLiteral("Firm V01.0a, hardware V00.ff, click Download"));
    }

    void offsetsTheDeviceChooses()
    {
        const QByteArray image = pattern(2048);
        STEP(start("fw.plk", image));
        STEP(toReady());
        STEP(toDownload());
        const auto ask = [&](quint32 offset, const QByteArray &word) {
            line->respond(0x82, offset);
            QCOMPARE(line->nextFrame(), dataFrame(offset, word));
        };
        STEP(ask(0, image.mid(0, 4)));
        const qint64 position = A::file(*w).pos();
        STEP(ask(6, image.mid(4, 4)));
        STEP(ask(0x234, image.mid(0x234, 4)));
        STEP(ask(0x234, image.mid(0x234, 4))); // repeated: the same word again
        QCOMPARE(A::file(*w).pos(), position); // all from the block held
        STEP(ask(1500, image.mid(1500, 4)));        // its own block
        QCOMPARE(A::readOffset(*w), 2048);
        STEP(ask(0x634, image.mid(0x634, 4)));
        STEP(ask(0x20, image.mid(0x20, 4))); // behind: its block again
        QCOMPARE(A::readOffset(*w), 1024);
        // Just past the end of the image: the end.
        line->respond(0x82, 2051);
        QCOMPARE(line->nextFrame(), endOfImage);
    }

    // Devices ask in orders of their own: a bootloader that starts over
    // after a flash error, one that asks again for an earlier word, one
    // that asks at random. Each word on the wire is the image's own.
    void offsetOrders_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("size");
        QTest::addColumn<QList<quint32>>("offsets");
        QList<quint32> restart, earlier, shuffled;
        for (quint32 o = 0; o < 3072; o += 4)
            restart += o;
        for (quint32 o = 0; o < 6144; o += 4)
            restart += o, shuffled += o;
        for (quint32 o = 0; o <= 2048; o += 4)
            earlier += o;
        earlier += {1020, 2052, 4, 6140};
        std::mt19937 random(7);
        std::shuffle(shuffled.begin(), shuffled.end(), random);
        const QList<quint32> unaligned{2, 1026, 3, 6143, 1, 4097};
        // A garbled first offset, then every word from the second on.
        QList<quint32> garbledFirst{2};
        for (quint32 offset = 4; offset < 6144; offset += 4)
            garbledFirst += offset;
        for (const char *suffix : {"plk", "pelk"}) {
            const QString name = QStringLiteral("fw.") + suffix;
            QTest::addRow("%s, starts over after three blocks", suffix) << name << 6144 << restart;
            QTest::addRow("%s, a word of an earlier block", suffix) << name << 6144 << earlier;
            QTest::addRow("%s, every word shuffled", suffix) << name << 6144 << shuffled;
            QTest::addRow("%s, unaligned offsets", suffix) << name << 6144 << unaligned;
            QTest::addRow("%s, 2 asked for 0, then every word", suffix) << name << 6144 << garbledFirst;
            QTest::addRow("%s, shuffled, last word padded", suffix) << name << 6141 << shuffled;
        }
    }
    void offsetOrders()
    {
        QFETCH(QString, name);
        QFETCH(int, size);
        QFETCH(QList<quint32>, offsets);
        const QByteArray image = pattern(size, 4);
        const QByteArray words = padded(image);
        STEP(start(name, (name.endsWith(".pelk") ? QByteArray(16, '\x33') : QByteArray()) + image));
        STEP(toReady());
        STEP(toDownload());
        for (quint32 offset : offsets) {
            line->respond(0x82, offset);
            const QByteArray frame = line->nextFrame();
            if (frame != dataFrame(offset, words.mid(offset & ~3u, 4)))
                QFAIL(qPrintable(QStringLiteral("offset %1: %2").arg(offset).arg(frame.toHex().constData())));
        }
        line->respond(0x82, words.size());
        QCOMPARE(line->nextFrame(), endOfImage);
        STEP(finish());
        // The device's own word is shown; what it never asked for is told,
        // and an offset between two words covers none of them.
        QSet<quint32> asked;
        int unaligned = 0;
        for (quint32 offset : offsets)
            offset % 4 ? ++unaligned : (asked.insert(offset / 4), 0);
        const qsizetype never = qMin<qsizetype>(size, qsizetype(words.size())) - 4 * asked.size()
                                + (asked.contains(quint32(size - 1) / 4) ? words.size() - size : 0);
        QStringList doubts;
        if (never > 0)
            doubts += QStringLiteral("never asked for %1 image bytes").arg(never);
        if (unaligned > 0)
            doubts += QStringLiteral("asked %1 unaligned offset%2").arg(unaligned).arg(unaligned > 1 ? "s" : "");
        QCOMPARE(A::told(*w), doubts.isEmpty() ? updated
                                               : "Firmware is updated; the device confirmed, but "
                                                     + doubts.join(" and "));
    }

    void timeOuts_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("downloadEnabled");
        QTest::newRow("finding the device") << int(StateFindDevice) << "finding device..." << false;
        QTest::newRow("getting the version") << int(StateGetVersion) << "Get device version failed" << false;
        QTest::newRow("start request") << int(StateStartDownload) << timedOut << false;
        QTest::newRow("data request") << int(StateSendData) << timedOut << false;
        QTest::newRow("end of image") << int(StateEndOfImage) << timedOut << false;
    }
    void timeOuts()
    {
        QFETCH(int, state);
        QFETCH(QString, text);
        QFETCH(bool, downloadEnabled);
        STEP(driveTo(state));
        if (state == StateFindDevice) {
            // The query goes out again first, then the text follows.
            QCOMPARE(line->nextFrame(1000), findDevice);
            QTRY_COMPARE(A::status(*w), text);
            QCOMPARE(line->nextFrame(1000), findDevice);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(A::status(*w), text, 1000);
            QVERIFY(line->quietFor(450)); // nothing is sent again
        }
        QCOMPARE(A::state(*w), qint32(state));
        QCOMPARE(A::downloadEnabled(*w), downloadEnabled);
    }

    void nothingRunsWhenReady()
    {
        STEP(driveTo(StateReady));
        QVERIFY(line->quietFor(450));
        QCOMPARE(A::status(*w), versionText);
        QVERIFY(A::downloadEnabled(*w));
    }

    // A late answer is still acted on, and the transfer goes on.
    void lateAnswers()
    {
        STEP(driveTo(StateGetVersion));
        QTRY_COMPARE_WITH_TIMEOUT(A::status(*w), QStringLiteral("Get device version failed"), 1000);
        line->respond(0x81, 0x010A0102);
        QTRY_COMPARE(A::state(*w), qint32(StateReady));
        STEP(toDownload());
        QTRY_COMPARE_WITH_TIMEOUT(A::status(*w), timedOut, 1000);
        QVERIFY(!A::downloadEnabled(*w));
        line->respond(0x82, 0);
        QCOMPARE(line->nextFrame(), dataFrame(0, hex("a1b2c3d4")));
        line->respond(0x82, 4);
        QCOMPARE(line->nextFrame(), endOfImage);
        STEP(finish());
    }

    // Frames a state does not act on blink the rx lamp and change nothing
    // else: the search for the device goes on, the time-outs still come.
    void framesNotActedOn_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("then");
        const QString searching = "finding device...";
        QTest::newRow("version while searching") << int(StateFindDevice) << 0x81 << searching;
        QTest::newRow("data request while searching") << int(StateFindDevice) << 0x82 << searching;
        QTest::newRow("updated while searching") << int(StateFindDevice) << 0x83 << searching;
        QTest::newRow("cancel while searching") << int(StateFindDevice) << 0x84 << searching;
        QTest::newRow("code 0x85 while searching") << int(StateFindDevice) << 0x85 << searching;
        QTest::newRow("code 0x7f while searching") << int(StateFindDevice) << 0x7F << searching;
        QTest::newRow("code 0x00 while searching") << int(StateFindDevice) << 0x00 << searching;
        QTest::newRow("device found while getting the version")
            << int(StateGetVersion) << 0x80 << "Get device version failed";
        QTest::newRow("updated while sending data") << int(StateSendData) << 0x83 << timedOut;
        QTest::newRow("device found while sending data") << int(StateSendData) << 0x80 << timedOut;
        QTest::newRow("device found at end of image") << int(StateEndOfImage) << 0x80 << timedOut;
        QTest::newRow("version when ready") << int(StateReady) << 0x81 << versionText;
    }
    void framesNotActedOn()
    {
        QFETCH(int, state);
        QFETCH(int, code);
        QFETCH(QString, then);
        STEP(driveTo(state));
        const bool running = A::timerRunning(*w);
        QSignalSpy lampOff(&A::rxLampTimer(*w), &QTimer::timeout);
        line->respond(quint8(code), 0);
        QVERIFY(lampOff.wait(1000));
        QCOMPARE(A::timerRunning(*w), running);
        QCOMPARE(A::state(*w), qint32(state));
        if (state == StateFindDevice)
            QCOMPARE(line->nextFrame(1000), findDevice);
        else
            QVERIFY(line->quietFor(450));
        QTRY_COMPARE_WITH_TIMEOUT(A::status(*w), then, 1000);
        QCOMPARE(A::state(*w), qint32(state));
    }

    // A line error in an offset's high bytes, or a device gone astray: no
    // word and no end of image for what is not in the image. Just past the
    // image, by byte or by word, is its end.
    void offsetsPastTheEnd_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<quint32>("offset");
        QTest::addColumn<bool>("ends");
        QTest::newRow("all ones") << 4096 << 0xFFFFFFFFu << false;
        QTest::newRow("sign bit") << 4096 << 0x80000000u << false;
        QTest::newRow("one bit flipped in the high byte") << 4096 << 0x01000800u << false;
        QTest::newRow("a word past the end") << 4096 << 4100u << false;
        QTest::newRow("4 bytes past a 5-byte image") << 5 << 12u << false;
        QTest::newRow("the end") << 4096 << 4096u << true;
        QTest::newRow("3 bytes past the end") << 4096 << 4099u << true;
        QTest::newRow("the byte just past a 5-byte image") << 5 << 5u << true;
        QTest::newRow("its last word's end plus 3") << 5 << 11u << true;
    }
    void offsetsPastTheEnd()
    {
        QFETCH(int, size);
        QFETCH(quint32, offset);
        QFETCH(bool, ends);
        STEP(start("fw.plk", pattern(size)));
        STEP(toReady());
        STEP(toDownload());
        line->respond(0x82, 0);
        QCOMPARE(line->nextFrame(), dataFrame(0, padded(pattern(size)).left(4)));
        line->respond(0x82, offset);
        if (ends) {
            QCOMPARE(line->nextFrame(), endOfImage);
            STEP(finish());
            return;
        }
        QVERIFY(line->quietFor(450));
        QCOMPARE(A::told(*w), QStringLiteral("Device asked for %1, image ends at %2: stopped")
                                    .arg(offset).arg(size));
        QCOMPARE(A::state(*w), qint32(StateFindDevice));
        QVERIFY(!A::downloadEnabled(*w));
        QVERIFY(!A::timerRunning(*w));
    }

    // A device that checks the image after its end asks again for words it
    // found wanting, and is served as before.
    void wordsAskedAfterTheEnd()
    {
        STEP(driveTo(StateEndOfImage));
        line->respond(0x82, 0);
        QCOMPARE(line->nextFrame(), dataFrame(0, hex("a1b2c3d4")));
        QCOMPARE(A::state(*w), qint32(StateSendData));
        line->respond(0x82, 4);
        QCOMPARE(line->nextFrame(), endOfImage);
        STEP(finish());
    }

    void wrongTagIsIgnored()
    {
        STEP(driveTo(StateFindDevice));
        QSignalSpy lampOff(&A::rxLampTimer(*w), &QTimer::timeout);
        line->write(pty::response(0x80, 0, 0x51));
        QCOMPARE(line->nextFrame(1000), findDevice); // still searching
        QCOMPARE(A::state(*w), qint32(StateFindDevice));
        QCOMPARE(lampOff.count(), 0);
        QVERIFY(!A::rxLampTimer(*w).isActive());
    }

    void downloadOutsideReady_data()
    {
        QTest::addColumn<int>("state");
        QTest::newRow("getting the version") << int(StateGetVersion);
        QTest::newRow("start request") << int(StateStartDownload);
        QTest::newRow("sending data") << int(StateSendData);
        QTest::newRow("end of image") << int(StateEndOfImage);
    }
    void downloadOutsideReady()
    {
        QFETCH(int, state);
        STEP(driveTo(state));
        const QString status = A::status(*w);
        QVERIFY(QMetaObject::invokeMethod(w.get(), "on_pushButtonDownload_clicked"));
        QVERIFY(line->quietFor(100));
        QCOMPARE(A::status(*w), status);
        QCOMPARE(A::state(*w), qint32(state));
    }

    void cancelledByTheDevice_data()
    {
        QTest::addColumn<int>("state");
        QTest::newRow("at the start request") << int(StateStartDownload);
        QTest::newRow("while sending data") << int(StateSendData);
        QTest::newRow("after the end of image") << int(StateEndOfImage);
    }
    void cancelledByTheDevice()
    {
        QFETCH(int, state);
        STEP(driveTo(state));
        line->respond(0x84);
        QTRY_COMPARE(A::status(*w), QStringLiteral("Device canncelled, please retry"));
        QCOMPARE(A::state(*w), qint32(StateFindDevice));
        QVERIFY(!A::downloadEnabled(*w));
        QVERIFY(!A::fileEnabled(*w));
        QVERIFY(!A::timerRunning(*w));
        QVERIFY(line->quietFor(300));
        QVERIFY(QMetaObject::invokeMethod(w.get(), "on_pushButtonDownload_clicked"));
        QVERIFY(line->quietFor(100));
    }

    void furtherUpdateAfterSuccess()
    {
        const QByteArray image = pattern(1030);
        STEP(start("fw.plk", image));
        STEP(toReady());
        STEP(toDownload());
        QCOMPARE(serve(), padded(image));
        STEP(finish());
        // The device, rebooted, announces itself: the whole round again.
        STEP(toReady());
        STEP(toDownload());
        QCOMPARE(A::readOffset(*w), 0);
        QCOMPARE(serve(), padded(image));
        STEP(finish());
    }

    // A slip of the hand never ends a transfer: Escape does nothing, End and
    // the close button (Alt+F4) ask, with going on as the default. Outside a
    // transfer all of them end the program at once.
    void endingTheWindow_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("answer"); // "" when nothing is asked
        QTest::addColumn<bool>("ends");
        for (int state : {int(StateFindDevice), int(StateGetVersion), int(StateReady)}) {
            for (const char *how : {"End", "close", "Escape"})
                QTest::addRow("state %d, %s", state, how) << state << how << "" << true;
        }
        for (int state : {int(StateStartDownload), int(StateSendData), int(StateEndOfImage)}) {
            QTest::addRow("state %d, Escape", state) << state << "Escape" << "" << false;
            for (const char *how : {"End", "close"}) {
                QTest::addRow("state %d, %s, go on", state, how) << state << how << "continue" << false;
                QTest::addRow("state %d, %s, end anyway", state, how) << state << how << "end" << true;
            }
        }
    }
    void endingTheWindow()
    {
        QFETCH(int, state);
        QFETCH(QString, how);
        QFETCH(QString, answer);
        QFETCH(bool, ends);
        STEP(driveTo(state));
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        bool asked = false;
        if (!answer.isEmpty())
            testing::answerEndQuestion(answer == "end", &asked);
        if (how == "End")
            A::ui(*w).pushButtonCancel->click();
        else if (how == "close")
            w->close();
        else
            QTest::keyClick(w.get(), Qt::Key_Escape);
        QCOMPARE(asked, !answer.isEmpty());
        QCOMPARE(w->isVisible(), !ends);
        QCOMPARE(A::state(*w), qint32(state));
        if (ends)
            QVERIFY(state == StateFindDevice || line->quietFor(300));
    }

    // The focus follows the next step, and Enter presses the button that has
    // it: what a screen reader just said is what Enter does. Mid-transfer
    // that is End, which asks first, Continue the default.
    void focusFollowsTheSteps_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("focused");
        QTest::newRow("looking for the device: End ends") << int(StateGetVersion) << "pushButtonCancel";
        QTest::newRow("the version shown") << int(StateReady) << "pushButtonDownload";
        QTest::newRow("mid-transfer: its progress") << int(StateSendData) << "progressBarDownload";
    }
    void focusFollowsTheSteps()
    {
        QFETCH(int, state);
        QFETCH(QString, focused);
        STEP(driveTo(state));
        w->show();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        QTRY_COMPARE(QApplication::focusWidget()->objectName(), focused);
        bool asked = false;
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        if (state == StateSendData) { // nothing on the progress; End asks first
            QVERIFY(line->quietFor(100));
            testing::answerEndQuestion(false, &asked);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), A::ui(*w).pushButtonCancel);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        }
        QCOMPARE(w->isVisible(), state != StateGetVersion);
        QCOMPARE(asked, state == StateSendData);
        if (state == StateReady) {
            QCOMPARE(line->nextFrame(), startDownload);
            QCOMPARE(A::state(*w), qint32(StateStartDownload));
            QVERIFY(!A::downloadEnabled(*w)); // once is enough
        } else {
            QCOMPARE(A::state(*w), qint32(state));
        }
    }

    // "Open with" names the file, and the person still chooses the port:
    // nothing is sent until File is pressed, which takes that file.
    void openWithLeavesThePortToThePerson()
    {
        line = std::make_unique<pty::Device>();
        w = testing::windowOn(*line);
        path = testing::writeFile(dir, "offered.plk", hex("a1b2c3d4"));
        w->offerFile(path);
        QCOMPARE(A::status(*w), QStringLiteral("choose the port, then press File"));
        QCOMPARE(w->windowTitle(), QStringLiteral("offered.plk - pelkoUpdate"));
        QVERIFY(A::ui(*w).comboBoxPort->isEnabled() && A::fileEnabled(*w));
        QVERIFY(line->quietFor(300));
        A::ui(*w).pushButtonOK->click(); // no file dialog: the file is known
        QCOMPARE(line->nextFrame(), findDevice);
        QCOMPARE(A::status(*w), line->path + "  " + path);
    }

    // The outcome moves the focus to End, carrying the outcome for a screen
    // reader; a question about ending closes when the update ends under it.
    void outcomeTakesTheFocus()
    {
        STEP(driveTo(StateEndOfImage));
        w->show();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        QPointer<QMessageBox> question;
        QTimer::singleShot(0, [&] {
            question = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            line->respond(0x83);
        });
        A::ui(*w).pushButtonCancel->click(); // asks; the device confirms meanwhile
        QVERIFY(w->isVisible());
        QTRY_VERIFY(!question || !question->isVisible());
        QCOMPARE(A::status(*w), updated);
        QCOMPARE(w->focusWidget(), A::ui(*w).pushButtonCancel);
        QCOMPARE(A::ui(*w).pushButtonCancel->accessibleDescription(), updated);
    }

    // The image file fails under the transfer: the device must not hear that
    // the image is complete.
    void readFailureStopsTheTransfer()
    {
        STEP(start("fw.plk", pattern(64 * 1024)));
        STEP(toReady());
        STEP(toDownload());
        // Swap the file's descriptor for one that cannot be read.
        const int unreadable = ::open(QFile::encodeName(path).constData(), O_WRONLY);
        QVERIFY(unreadable >= 0);
        QVERIFY(::dup2(unreadable, A::file(*w).handle()) >= 0);
        ::close(unreadable);
        line->respond(0x82, 0);
        QTRY_VERIFY(A::told(*w).startsWith("Cannot read " + path));
        QVERIFY(line->quietFor(300));
        QCOMPARE(A::readOffset(*w), 0);
        QCOMPARE(A::state(*w), qint32(StateFindDevice));
        QVERIFY(!A::downloadEnabled(*w));
        QVERIFY(!A::timerRunning(*w));
    }

    // The adapter is pulled out: told at once, and what the device holds is
    // said right.
    void lineLost_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("consequence");
        QTest::addColumn<int>("reconnectMs");
        for (int reconnectMs : {0, 300}) {
            const QByteArray wait = reconnectMs ? ", waited for" : ", no wait";
            QTest::addRow("while sending data%s", wait.data())
                << int(StateSendData) << "; download stopped, the image is incomplete" << reconnectMs;
            QTest::addRow("after the end of image went out%s", wait.data())
                << int(StateEndOfImage) << "; the whole image was sent, but the device did not confirm it"
                << reconnectMs;
            QTest::addRow("getting the version%s", wait.data()) << int(StateGetVersion) << "" << reconnectMs;
        }
    }
    void lineLost()
    {
        QFETCH(int, state);
        QFETCH(QString, consequence);
        QFETCH(int, reconnectMs);
        STEP(driveTo(state));
        w->setReconnect(reconnectMs);
        const QString port = A::port(*w).portName();
        line->hangup();
        QTRY_VERIFY_WITH_TIMEOUT(!A::portOpen(*w), 1000);
        const QString lost = "Port " + port + " lost: the line hung up (adapter unplugged or "
                                              "device switched off)" + consequence;
        if (reconnectMs > 0) { // waited for, and not back
            QVERIFY2(A::status(*w).endsWith(", waiting for it"), qPrintable(A::status(*w)));
            QTRY_COMPARE_WITH_TIMEOUT(A::told(*w), lost + "; not back within 0.3 s", 2000);
        } else {
            QCOMPARE(A::told(*w), lost);
        }
        QCOMPARE(A::state(*w), qint32(StateFindDevice));
        QVERIFY(!A::downloadEnabled(*w));
        QVERIFY(!A::timerRunning(*w));
    }

    // A device that asks for thousands of words before it reads one answer:
    // the line fills up, the driver refuses writes for a while, and every
    // answer must still arrive, whole and in order.
    void deviceAsksAheadOfTheLine()
    {
        const int words = 3000;
        const QByteArray image = pattern(4 * words, 8);
        STEP(start("fw.plk", image));
        STEP(toReady());
        STEP(toDownload());
        line->holdReading(true);
        QByteArray requests;
        for (int i = 0; i <= words; ++i)
            requests += pty::response(0x82, quint32(4 * i));
        line->send(requests);
        // Until the updater has taken the last request, with its answers
        // held up in the line.
        QVERIFY(testing::waitFor([&] { return A::requestedOffset(*w) == 4 * words; }, 10000));
        QVERIFY(A::portOpen(*w));
        QVERIFY(A::port(*w).bytesToWrite() > 0);
        line->holdReading(false);
        for (int i = 0; i < words; ++i) {
            const quint32 offset = 4 * i;
            const QByteArray frame = line->nextFrame();
            if (frame != dataFrame(offset, image.mid(offset, 4)))
                QFAIL(qPrintable(QStringLiteral("offset %1: %2, status %3")
                                     .arg(offset).arg(frame.toHex().constData(), A::status(*w))));
        }
        QCOMPARE(line->nextFrame(), endOfImage);
        STEP(finish());
    }

    void fileChanged_data()
    {
        QTest::addColumn<bool>("duringTransfer");
        QTest::addColumn<int>("truncatedTo");
        QTest::addColumn<int>("served");
        QTest::newRow("truncated before Download") << false << 20000 << 0;
        // Told in the block being read: nothing of it goes out.
        QTest::newRow("truncated during the transfer, inside a block") << true << 20000 << 19456;
        QTest::newRow("truncated during the transfer, at a block's end") << true << 16384 << 16384;
    }
    void fileChanged()
    {
        QFETCH(bool, duringTransfer);
        QFETCH(int, truncatedTo);
        QFETCH(int, served);
        const QByteArray image = pattern(40000);
        STEP(start("fw.plk", image));
        STEP(toReady());
        if (!duringTransfer) {
            // Caught at Download: nothing goes out, and File may be used again.
            QVERIFY(QFile::resize(path, truncatedTo));
            A::download(*w);
            QVERIFY(line->quietFor(300));
            QVERIFY2(A::status(*w).contains("changed"), qPrintable(A::status(*w)));
            QVERIFY(A::fileEnabled(*w));
            return;
        }
        STEP(toDownload());
        line->respond(0x82, 0);
        QCOMPARE(line->nextFrame(), dataFrame(0, image.left(4)));
        QVERIFY(QFile::resize(path, truncatedTo));
        QByteArray frames;
        const QByteArray received = serve(&frames);
        QVERIFY(!frames.contains(endOfImage));
        QCOMPARE(received, image.left(served));
        QCOMPARE(A::told(*w), path + " changed after it was chosen, download stopped");
        QCOMPARE(A::state(*w), qint32(StateFindDevice));
        QVERIFY(!A::downloadEnabled(*w));
        QVERIFY(!A::timerRunning(*w));
    }

    // Appended to under the transfer: the end of image is not told.
    void fileGrownDuringTheTransfer()
    {
        const QByteArray image = pattern(2048);
        STEP(start("fw.plk", image));
        STEP(toReady());
        STEP(toDownload());
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append) && file.write("more") == 4);
        file.close();
        QByteArray frames;
        QCOMPARE(serve(&frames), image);
        QVERIFY(!frames.contains(endOfImage));
        QCOMPARE(A::told(*w), path + " changed after it was chosen, download stopped");
    }

    // Rewritten in place, even with its size and time kept (cp -p, rsync -t
    // --inplace): only what was chosen goes out, and the end is never told.
    // Replaced by rename, the open file keeps the bytes chosen: it finishes.
    void fileRewritten_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("served");
        QTest::newRow("in place from byte 20000, time kept") << "in place" << 19456;
        QTest::newRow("in place before Download, time kept") << "before" << 0;
        QTest::newRow("replaced by rename") << "rename" << 40000;
    }
    void fileRewritten()
    {
        QFETCH(QString, how);
        QFETCH(int, served);
        const QByteArray image = pattern(40000);
        const auto rewrite = [&](qint64 from) {
            const QDateTime time = QFileInfo(path).lastModified();
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(from));
            QCOMPARE(file.write(pattern(40000 - from, 9)), 40000 - from);
            QVERIFY(file.setFileTime(time, QFileDevice::FileModificationTime));
        };
        STEP(start("fw.plk", image));
        STEP(toReady());
        if (how == "before")
            STEP(rewrite(0));
        STEP(toDownload());
        if (how == "in place")
            STEP(rewrite(20000));
        if (how == "rename") {
            const QString other = testing::writeFile(dir, "other.plk", pattern(4000, 5));
            QVERIFY(::rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()) == 0);
        }
        QByteArray frames;
        QCOMPARE(serve(&frames), image.left(served));
        if (served == image.size()) {
            QVERIFY(frames.endsWith(endOfImage));
            STEP(finish());
            return;
        }
        QVERIFY(!frames.contains(endOfImage));
        QCOMPARE(A::told(*w), path + " changed after it was chosen, download stopped");
        QVERIFY(!A::timerRunning(*w));
    }
};

QTEST_MAIN(TestUpdate)
#include "tst_update.moc"
