#ifndef PTYDEVICE_H
#define PTYDEVICE_H

// A device under the test's control on the far end of a pseudo-terminal: it
// sees every byte the updater writes and answers with frames built here,
// independently of the updater's own codec.

#include <QByteArray>
#include <QEventLoop>
#include <QTimer>
#include <QList>
#include <QSocketNotifier>
#include <QString>
#include <QTest>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <memory>

namespace pty {

// CRC-16/XMODEM, bit by bit.
inline quint16 crc(const QByteArray &bytes)
{
    quint16 crc = 0;
    for (char c : bytes) {
        crc ^= quint16(quint8(c)) << 8;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

inline QByteArray stuff(const QByteArray &payload)
{
    QByteArray out;
    for (char c : payload) {
        if (quint8(c) == 0x7E || quint8(c) == 0x7D)
            out += char(0x7D), out += char(c ^ 0x20);
        else
            out += c;
    }
    return out;
}

// A device frame: 7E 5E, then payload 50 code arg(4, little-endian) 00 ck.
inline QByteArray response(quint8 code, quint32 arg = 0, quint8 tag = 0x50)
{
    QByteArray payload;
    payload += char(tag);
    payload += char(code);
    for (int i = 0; i < 4; ++i)
        payload += char(arg >> (8 * i));
    payload += char(0);
    payload += char(crc(payload) & 0xFF);
    return QByteArray("\x7E\x5E", 2) + stuff(payload);
}

inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

class Device
{
public:
    Device()
    {
        char name[128] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            qFatal("openpty failed");
        termios tio{};
        ::tcgetattr(slave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        // An updater started as a process must not hold the line open too,
        // or pulling it out would never reach that updater.
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);
        path = QString::fromLocal8Bit(name);
        notifier = std::make_unique<QSocketNotifier>(master, QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { drain(); });
    }
    ~Device()
    {
        notifier.reset();
        writer.reset();
        if (master >= 0)
            ::close(master);
        ::close(slave);
    }

    void write(const QByteArray &bytes) const
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master, bytes.constData() + done, bytes.size() - done);
            if (n > 0)
                done += n;
        }
    }
    void respond(quint8 code, quint32 arg = 0) const { write(response(code, arg)); }

    // Writes bytes as the line takes them, while the event loop runs, so a
    // device may send more than the line holds at once. queued() says how
    // many are still waiting.
    void send(const QByteArray &bytes)
    {
        outbox += bytes;
        if (!writer) {
            writer = std::make_unique<QSocketNotifier>(master, QSocketNotifier::Write);
            QObject::connect(writer.get(), &QSocketNotifier::activated, [this] { push(); });
        }
        writer->setEnabled(true);
    }
    qsizetype queued() const { return outbox.size(); }
    // A device busy elsewhere: the updater's bytes pile up in the line.
    void holdReading(bool hold)
    {
        notifier->setEnabled(!hold);
        if (!hold)
            drain();
    }

    // The adapter is pulled out: the updater's side sees a hang-up.
    void hangup()
    {
        notifier.reset();
        writer.reset();
        ::close(master);
        master = -1;
    }

    // Waits (bounded) for the next whole frame from the updater and takes it.
    // Returns its raw wire bytes, or an empty array if none came in time.
    QByteArray nextFrame(int ms = 3000)
    {
        if (frames.isEmpty()) {
            // An event loop of its own wakes the moment the frame is whole;
            // polling would add its interval to every exchange.
            QEventLoop loop;
            QTimer deadline;
            deadline.setSingleShot(true);
            QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
            deadline.start(ms);
            waiting = &loop;
            loop.exec();
            waiting = nullptr;
        }
        return frames.isEmpty() ? QByteArray() : frames.takeFirst();
    }
    // True when nothing at all arrives from the updater for ms.
    bool quietFor(int ms)
    {
        QTest::qWait(ms);
        drain();
        return frames.isEmpty() && partial.isEmpty();
    }

    QString path;
    QByteArray wire;                // every byte the updater wrote, in order
    QList<QByteArray> frames;       // whole frames not yet taken
    int master = -1;

private:
    void push()
    {
        const ssize_t n = ::write(master, outbox.constData(), outbox.size());
        if (n > 0)
            outbox.remove(0, n);
        writer->setEnabled(!outbox.isEmpty());
    }
    void drain()
    {
        char buffer[4096];
        ssize_t n;
        while (master >= 0 && (n = ::read(master, buffer, sizeof buffer)) > 0) {
            for (ssize_t i = 0; i < n; ++i)
                take(buffer[i]);
            wire.append(buffer, n);
        }
    }
    // Frames begin with 0x7E, which never occurs inside a stuffed frame.
    void take(char c)
    {
        if (quint8(c) == 0x7E)
            partial.clear();
        partial += c;
        int payloadBytes = 0;
        for (qsizetype i = 2; i < partial.size(); ++i)
            payloadBytes += quint8(partial[i]) == 0x7D ? 0 : 1;
        if (partial.size() >= 2 && payloadBytes == 8) {
            frames += partial;
            partial.clear();
            if (waiting)
                waiting->quit();
        }
    }

    int slave = -1;
    QByteArray partial;
    QEventLoop *waiting = nullptr;
    std::unique_ptr<QSocketNotifier> notifier;
    std::unique_ptr<QSocketNotifier> writer;
    QByteArray outbox;
};

// Decodes a frame of the updater's (7E FF + stuffed payload) into its
// 8 payload bytes, checking the framing and the checksum on the way.
inline QByteArray payloadOf(const QByteArray &frame)
{
    if (frame.size() < 10 || quint8(frame[0]) != 0x7E || quint8(frame[1]) != 0xFF)
        return {};
    QByteArray payload;
    for (qsizetype i = 2; i < frame.size(); ++i) {
        if (quint8(frame[i]) == 0x7D && ++i < frame.size())
            payload += char(frame[i] ^ 0x20);
        else
            payload += frame[i];
    }
    if (payload.size() != 8 || quint8(payload[7]) != (crc(payload.left(7)) & 0xFF))
        return {};
    return payload;
}

} // namespace pty

#endif
