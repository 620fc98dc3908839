#include "lineoutput.h"
#include "updateraccess.h"

#include <QRegularExpression>
#include <QTest>

#include <cstdio>

using pty::hex;
using A = UpdaterAccess;

namespace {
struct TraceLine
{
    double ms;
    QString direction;
    QByteArray wire;
    QString meaning;
};

// The trace as written, one entry per frame or noise line; lines of
// ignored frames are kept as meanings of their own.
QList<TraceLine> parse(const QByteArray &text)
{
    static const QRegularExpression frame(
        QStringLiteral("^ *(\\d+\\.\\d{3}) (->|<-)((?: [0-9a-f]{2})+)  (.*)$"));
    QList<TraceLine> lines;
    for (const QByteArray &raw : text.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        const auto m = frame.match(line);
        if (m.hasMatch())
            lines += {m.captured(1).toDouble(), m.captured(2),
                      QByteArray::fromHex(m.captured(3).toLatin1()), m.captured(4)};
        else if (line.contains("frame ignored: "))
            lines += {-1, "^^", {}, line.mid(line.indexOf("frame ignored: "))};
    }
    return lines;
}

QByteArray joined(const QList<TraceLine> &lines, const QString &direction)
{
    QByteArray bytes;
    for (const TraceLine &l : lines)
        bytes += l.direction == direction ? l.wire : QByteArray();
    return bytes;
}

QByteArray goodChecksum(quint8 code, quint32 arg)
{
    return pty::response(code, arg);
}

// A device answer whose checksum byte is not the one the updater computes.
QByteArray badChecksum(quint8 code, quint32 arg)
{
    QByteArray frame = pty::response(code, arg);
    const char last = frame[frame.size() - 1];
    frame[frame.size() - 1] = char(last == '\x11' ? 0x22 : 0x11);
    return frame;
}
} // namespace

class TestFrameTrace : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<pty::Device> line;
    std::unique_ptr<pelkoUpdate> w;
    FILE *traceFile = nullptr;
    std::unique_ptr<LineOutput> traceOutput;
    QByteArray fromDevice;

    void answer(const QByteArray &frame)
    {
        fromDevice += frame;
        line->write(frame);
    }
    // A whole update of a 64-byte image, answered with frames made by make.
    // A traced window on a fresh line, after File and the first query.
    void open()
    {
        line = std::make_unique<pty::Device>();
        w = testing::windowOn(*line);
        traceFile = std::tmpfile();
        traceOutput = std::make_unique<LineOutput>(fileno(traceFile));
        w->enableTrace(traceOutput.get());
        A::choose(*w, testing::writeFile(dir, "fw.plk", testing::pattern(64)));
        QVERIFY(!line->nextFrame().isEmpty());
    }
    void update(QByteArray (*make)(quint8, quint32))
    {
        STEP(open());
        answer(make(0x80, 0));
        QVERIFY(!line->nextFrame().isEmpty());
        answer(make(0x81, 0x01020304));
        QTRY_COMPARE(A::state(*w), qint32(StateReady));
        A::download(*w);
        QVERIFY(!line->nextFrame().isEmpty());
        for (quint32 offset = 0; offset <= 64; offset += 4) {
            answer(make(0x82, offset));
            QVERIFY(!line->nextFrame().isEmpty());
        }
        answer(make(0x83, 0));
        QTRY_COMPARE(A::status(*w), QStringLiteral("Firmware is updated"));
    }
    // Everything traced so far.
    QList<TraceLine> traced()
    {
        A::trace(*w).flush();
        std::rewind(traceFile);
        QByteArray text;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, traceFile)) > 0)
            text.append(buffer, qsizetype(n));
        return parse(text);
    }

private slots:
    void cleanup()
    {
        w.reset();
        traceOutput.reset();
        line.reset();
        if (traceFile)
            std::fclose(traceFile);
        traceFile = nullptr;
        fromDevice.clear();
    }

    void wholeUpdateMatchesTheWire()
    {
        update(&goodChecksum);
        if (QTest::currentTestFailed())
            return;
        const QList<TraceLine> lines = traced();
        QCOMPARE(joined(lines, "->").toHex(' '), line->wire.toHex(' '));
        QCOMPARE(joined(lines, "<-").toHex(' '), fromDevice.toHex(' '));
        double last = 0;
        for (const TraceLine &l : lines) {
            QVERIFY(l.ms >= last);
            last = l.ms;
            if (l.direction == "<-")
                QVERIFY2(l.meaning.endsWith(", checksum ok"), qPrintable(l.meaning));
        }
        QCOMPARE(lines.first().meaning, QStringLiteral("ReqFindDevice"));
        QCOMPARE(lines.at(3).meaning, QStringLiteral("RspVersion firmware 01.02 hardware 03.04, checksum ok"));
        QVERIFY(lines.at(6).meaning.startsWith("ReqData offset 0 (0x00000000) word "));
        QCOMPARE(lines.at(lines.size() - 2).meaning, QStringLiteral("ReqEndOfImage"));
        const FrameTrace::Counts &counts = w->lineTrace().counts();
        QCOMPARE(counts.framesSent, 20);
        QCOMPARE(counts.framesReceived, 20);
        QCOMPARE(counts.checksumsDiffering, 0);
    }

    void noiseAndIgnoredFrames()
    {
        STEP(open());
        line->write(hex("112233") + pty::response(0x80, 0, 0x51) + pty::response(0x85));
        QVERIFY(testing::waitFor([&] { return w->lineTrace().counts().framesIgnored == 2; }, 2000));
        const QList<TraceLine> lines = traced();
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines.at(1).wire, hex("112233"));
        QCOMPARE(lines.at(1).meaning, QStringLiteral("noise, 3 bytes dropped"));
        QCOMPARE(lines.at(2).meaning, QStringLiteral("tag 0x51, code 0x80, checksum ok"));
        QCOMPARE(lines.at(3).meaning, QStringLiteral("frame ignored: not tagged 0x50"));
        QCOMPARE(lines.at(4).meaning, QStringLiteral("code 0x85, checksum ok"));
        QCOMPARE(lines.at(5).meaning, QStringLiteral("frame ignored: not acted on in StateFindDevice"));
        QCOMPARE(w->lineTrace().counts().noiseBytes, 3);
    }

    // A device that computes its checksum otherwise: flagged and counted,
    // and the update goes exactly as before.
    void checksumsThatDiffer()
    {
        update(&badChecksum);
        if (QTest::currentTestFailed())
            return;
        const QList<TraceLine> lines = traced();
        int flagged = 0;
        for (const TraceLine &l : lines)
            flagged += l.meaning.contains(QRegularExpression(", checksum [0-9a-f]{2}, we compute [0-9a-f]{2}$"));
        QCOMPARE(flagged, 20);
        QCOMPARE(w->lineTrace().counts().checksumsDiffering, 20);
        QCOMPARE(joined(lines, "<-").toHex(' '), fromDevice.toHex(' '));
    }

    // Off, nothing is written, and the counts are kept all the same.
    void offWritesNothing()
    {
        line = std::make_unique<pty::Device>();
        w = testing::windowOn(*line);
        A::choose(*w, testing::writeFile(dir, "fw.plk", testing::pattern(64)));
        QVERIFY(!line->nextFrame().isEmpty());
        line->write(hex("1122") + pty::response(0x80));
        QVERIFY(!line->nextFrame().isEmpty());
        QVERIFY(!w->lineTrace().on());
        QCOMPARE(w->lineTrace().counts().noiseBytes, 2);
        QCOMPARE(w->lineTrace().counts().framesSent, 2);
    }
};

QTEST_MAIN(TestFrameTrace)
#include "tst_frametrace.moc"
