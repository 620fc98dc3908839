#include "pelkoupdate.h"

#include "framecodec.h"
#include "ui_pelkoupdate.h"

#include <algorithm>

// name: what the port choice stands for now (an adapter may have come back
// as another port); the choice's own text when it stands for none.
bool pelkoUpdate::openPort(const QString &resolved)
{
    const QString wanted = ui->comboBoxPort->currentText();
    if (wanted.isEmpty()) {
        showStatus(QStringLiteral("No serial port: connect the device and restart"));
        return false;
    }
    const QString name = resolved.isEmpty() ? wanted : resolved;
    LinePort &port = portFor(wanted);
    const LinePort::Opening opening = port.open(name);
    portPath = port.path();
    switch (opening) {
    case LinePort::Opening::Open:
        return true;
    case LinePort::Opening::InUse:
        return portInUse(name);
    case LinePort::Opening::NotAPort:
        return notAPort(name);
    case LinePort::Opening::NotSetUp:
        showStatus(QStringLiteral("Cannot set up port %1: %2").arg(name, port.errorString()));
        return false;
    case LinePort::Opening::Failed:
        break;
    }
    showStatus(QStringLiteral("Cannot open port %1: %2").arg(name, port.errorString()),
               portOpenError(name));
    return false;
}

// The line broke under an open port: an adapter pulled out, a device that
// reset its USB side. Say so, unless the update had already ended; a device
// that reboots into its new firmware vanishes right after reporting success.
void pelkoUpdate::lineLost(const QString &reason)
{
    const bool resting = state == StateFindDevice && !retryTimer.isActive();
    const qint32 before = state;
    retryTimer.stop();
    ui->pushButtonDownload->setEnabled(false);
    state = StateFindDevice;
    // Closing from inside the port's own notification is not safe; what
    // follows the loss comes after the close.
    const bool left = leaving;
    const QString named = portidentity::devicePath(ui->comboBoxPort->currentText());
    if (named.startsWith(QLatin1String("/dev/pts/")))
        goneTerminal = named;
    QMetaObject::invokeMethod(
        this,
        [this, left] {
            linePort->close();
            if (left && observer)
                observer->portGone(); // the unit went, with its adapter
        },
        Qt::QueuedConnection);
    if (resting || left)
        return;
    // A USB hiccup, a unit's adapter replugged: the same port may be back
    // in a moment, with the device where it was.
    if (reconnectMs > 0 || patientForPort)
        return waitForLostPort(before, reason);
    QString whole;
    const QString shortly = lostText(before, reason, &whole);
    showStatus(shortly, whole);
    notifyEnded(UpdateObserver::Outcome::DeviceLost);
}

// What the loss of the port left the device with, short and whole.
QString pelkoUpdate::lostText(qint32 before, const QString &reason, QString *whole) const
{
    QString consequence;
    QString shortly = QStringLiteral("Port %1 lost").arg(linePort->name());
    if (before == StateEndOfImage) {
        consequence = QStringLiteral("; the whole image was sent, but the device did not "
                                     "confirm it");
        shortly += QStringLiteral(": image sent, not confirmed");
    } else if (before >= StateStartDownload) {
        consequence = QStringLiteral("; download stopped, the image is incomplete");
        shortly += QStringLiteral(", image incomplete");
    }
    *whole = QStringLiteral("Port %1 lost: %2%3").arg(linePort->name(), reason, consequence);
    return shortly;
}

int pelkoUpdate::frameChecksum(const unsigned char *data, int length)
{
    return crc16(data, length);
}

int pelkoUpdate::progressValue(qint64 offset, qint64 size)
{
    if (size <= 0)
        return 0;
    return static_cast<int>(std::clamp<qint64>(offset * 100 / size, 0, 100));
}

void pelkoUpdate::sendFrame(unsigned char *payload, int length)
{
    std::array<unsigned char, 2 + maxStuffedPayload> wire{frameStart, hostMark};
    const int n = std::min(length, payloadSize);
    int size = 0;
    if (n > 0) {
        payload[n - 1] = static_cast<unsigned char>(frameChecksum(payload, n - 1) & 0xFF);
        size = stuffPayload(payload, n, wire.data() + 2);
    }
    // Out now rather than on the next turn of the event loop: the device
    // waits for this frame, and so does the whole transfer.
    linePort->write(reinterpret_cast<const char *>(wire.data()), 2 + size);
    trace.sent(wire.data(), 2 + size, payload, quint32(requestedOffset));
    if (!txLampTimer.isActive()) {
        ui->label_tx->setPixmap(ledOnPixmap);
        txLampTimer.start();
    }
    ui->progressBarDownload->setValue(progressValue(requestedOffset, imageSize));
    retryTimer.start(200);
}

void pelkoUpdate::receive()
{
    // Read until the port is empty: a stop-and-wait device sends nothing more
    // until it is answered, so bytes left behind would never be announced again.
    std::array<char, 1024> buffer;
    // A frame's outcome may have let go of the port (a bay whose line has
    // all its units): nothing more is read then.
    while (linePort->isOpen()) {
        const qint64 count = linePort->read(buffer.data(), buffer.size());
        if (count <= 0)
            return;
        receiveBytes(reinterpret_cast<const unsigned char *>(buffer.data()), count);
    }
}

void pelkoUpdate::receiveBytes(const unsigned char *bytes, qint64 count)
{
    deframer.feed(
        bytes, count,
        [&](const unsigned char *frame) {
            trace.received(deframer.wire.data(), deframer.wireCount, frame);
            handleResponse(frame);
        },
        [this](const unsigned char *noise, int size) { trace.noise(noise, size); });
}
