#include "frametrace.h"

#include "framecodec.h"
#include "linesink.h"
#include "updatestate.h"

#include <algorithm>

namespace {
QString requestMeaning(const unsigned char *payload, quint32 offset)
{
    switch (payload[1]) {
    case ReqFindDevice:
        return QStringLiteral("ReqFindDevice");
    case ReqGetVersion:
        return QStringLiteral("ReqGetVersion");
    case ReqStartDownload:
        return QStringLiteral("ReqStartDownload");
    case ReqData:
        return QString::asprintf("ReqData offset %u (0x%08x) word %02x %02x %02x %02x", offset,
                                 offset, payload[2], payload[3], payload[4], payload[5]);
    case ReqEndOfImage:
        return QStringLiteral("ReqEndOfImage");
    default:
        return QString::asprintf("request 0x%02x", payload[1]);
    }
}

QString responseMeaning(const unsigned char *payload)
{
    if (payload[0] != frameTag)
        return QString::asprintf("tag 0x%02x, code 0x%02x", payload[0], payload[1]);
    switch (payload[1]) {
    case RspDeviceFound:
        return QStringLiteral("RspDeviceFound");
    case RspVersion:
        return QString::asprintf("RspVersion firmware %02x.%02x hardware %02x.%02x", payload[5],
                                 payload[4], payload[3], payload[2]);
    case RspDataRequest: {
        const quint32 offset = quint32(payload[2]) | quint32(payload[3]) << 8 |
                               quint32(payload[4]) << 16 | quint32(payload[5]) << 24;
        return QString::asprintf("RspDataRequest offset %u (0x%08x)", offset, offset);
    }
    case RspUpdated:
        return QStringLiteral("RspUpdated");
    case RspCancelled:
        return QStringLiteral("RspCancelled");
    default:
        return QString::asprintf("code 0x%02x", payload[1]);
    }
}
} // namespace

FrameTrace::FrameTrace()
{
    flushTimer.setSingleShot(true);
    flushTimer.setInterval(0);
    QObject::connect(&flushTimer, &QTimer::timeout, [this] { flush(); });
}

FrameTrace::~FrameTrace()
{
    flush();
}

void FrameTrace::enable(LineSink *stream)
{
    out = stream;
    clock.start();
}

void FrameTrace::line(const char *direction, const unsigned char *wire, int length,
                      const QString &meaning)
{
    endNoise();
    pending += QByteArray::number(clock.nsecsElapsed() / 1e6, 'f', 3).rightJustified(10);
    pending += ' ';
    pending += direction;
    for (int i = 0; i < length; ++i)
        pending += ' ' + QByteArray::number(wire[i], 16).rightJustified(2, '0');
    pending += "  " + meaning.toUtf8() + '\n';
    if (!flushTimer.isActive())
        flushTimer.start();
}

void FrameTrace::sent(const unsigned char *wire, int length, const unsigned char *payload,
                      quint32 offset)
{
    ++tally.framesSent;
    if (on())
        line("->", wire, length, requestMeaning(payload, offset));
}

// The checksum is shown, never acted on: devices may not compute it.
void FrameTrace::received(const unsigned char *wire, int length, const unsigned char *frame)
{
    ++tally.framesReceived;
    const unsigned char *payload = frame + 2;
    const unsigned char expected = static_cast<unsigned char>(crc16(payload, 7) & 0xFF);
    const bool differs = payload[7] != expected;
    tally.checksumsDiffering += differs;
    if (!on())
        return;
    QString meaning = responseMeaning(payload);
    meaning += differs ? QString::asprintf(", checksum %02x, we compute %02x", payload[7], expected)
                       : QStringLiteral(", checksum ok");
    if (length > Deframer::maxWire)
        meaning += QStringLiteral(" (%1 wire bytes, the first %2 shown)")
                       .arg(length)
                       .arg(Deframer::maxWire);
    line("<-", wire, std::min(length, Deframer::maxWire), meaning);
}

void FrameTrace::noise(const unsigned char *bytes, int count)
{
    tally.noiseBytes += count;
    if (!on())
        return;
    noiseRun.append(reinterpret_cast<const char *>(bytes), count);
    if (!flushTimer.isActive())
        flushTimer.start();
}

void FrameTrace::endNoise()
{
    if (noiseRun.isEmpty())
        return;
    const QByteArray run = noiseRun;
    noiseRun.clear();
    line("<-", reinterpret_cast<const unsigned char *>(run.constData()), int(run.size()),
         QStringLiteral("noise, %1 bytes dropped").arg(run.size()));
}

void FrameTrace::ignored(int state)
{
    static constexpr const char *names[] = {"StateFindDevice", "StateGetVersion",
                                            "StateReady",      "StateStartDownload",
                                            "StateSendData",   "StateEndOfImage"};
    ++tally.framesIgnored;
    if (on()) {
        endNoise();
        pending += "           ^^  frame ignored: ";
        pending += state < 0   ? QByteArray("not tagged 0x50")
                   : state < 6 ? QByteArray("not acted on in ") + names[state]
                               : QByteArray("not acted on in state ") + QByteArray::number(state);
        pending += '\n';
        if (!flushTimer.isActive())
            flushTimer.start();
    }
}

void FrameTrace::flush()
{
    endNoise();
    if (!out || pending.isEmpty())
        return;
    out->lines(pending);
    pending.clear();
}

QString FrameTrace::qualityLine(const Counts &tally)
{
    return QStringLiteral("line: frames sent %1, received %2, noise bytes dropped %3, frames "
                          "ignored %4, checksums differing %5")
        .arg(tally.framesSent)
        .arg(tally.framesReceived)
        .arg(tally.noiseBytes)
        .arg(tally.framesIgnored)
        .arg(tally.checksumsDiffering);
}
