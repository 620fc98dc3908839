#include "pelkoupdate.h"

#include "framecodec.h"
#include "ui_pelkoupdate.h"

#include <QFileInfo>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

bool pelkoUpdate::openPort()
{
    const QString name = ui->comboBoxPort->currentText();
    if (name.isEmpty()) {
        showStatus(QStringLiteral("No serial port to open: connect the device and restart"));
        return false;
    }
    // A file chosen again after the first one changed: start afresh on the
    // port now chosen.
    if (serialPort.isOpen())
        serialPort.close();
    serialPort.setPortName(name);
    if (!serialPort.open(QIODevice::ReadWrite)) {
        showStatus(portOpenError(name));
        return false;
    }
    const bool configured = serialPort.setBaudRate(57600)
                            && serialPort.setFlowControl(QSerialPort::NoFlowControl)
                            && serialPort.setParity(QSerialPort::NoParity)
                            && serialPort.setDataBits(QSerialPort::Data8)
                            && serialPort.setStopBits(QSerialPort::OneStop);
    if (!configured) {
        showStatus(QStringLiteral("Cannot set up port %1: %2").arg(name, serialPort.errorString()));
        serialPort.close();
        return false;
    }
    setLowLatency();
    connect(&serialPort, &QSerialPort::readyRead, this, &pelkoUpdate::receive,
            Qt::UniqueConnection);
    if (!portErrorsWatched) {
        connect(&serialPort, &QSerialPort::errorOccurred, this,
                [this](QSerialPort::SerialPortError error) { portFailed(error); });
        portErrorsWatched = true;
    }
    return true;
}

// The line broke under an open port: an adapter pulled out, a device that
// reset its USB side. Say so, unless the update had already ended; a device
// that reboots into its new firmware vanishes right after reporting success.
void pelkoUpdate::portFailed(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError
        || !serialPort.isOpen())
        return;
    const bool resting = state == StateFindDevice && !retryTimer.isActive();
    const bool downloading = state >= StateStartDownload;
    const QString reason = serialPort.errorString();
    retryTimer.stop();
    ui->pushButtonDownload->setEnabled(false);
    state = StateFindDevice;
    // Closing from inside the port's own notification is not safe.
    QMetaObject::invokeMethod(this, [this] { serialPort.close(); }, Qt::QueuedConnection);
    if (resting)
        return;
    showStatus(QStringLiteral("Port %1 lost: %2%3")
                   .arg(serialPort.portName(), reason,
                        downloading ? QStringLiteral("; download stopped, the image is incomplete")
                                    : QString()));
    notifyEnded(UpdateObserver::Outcome::DeviceLost);
}

// USB serial adapters of the FTDI kind hold short packets for up to 16 ms
// unless told otherwise; with one short frame each way per word that would
// make an update several times slower. Drivers that have no such setting (a
// pseudo-terminal, ttyACM) refuse it, and that is fine.
void pelkoUpdate::setLowLatency()
{
#ifdef Q_OS_LINUX
    serial_struct serial{};
    if (::ioctl(serialPort.handle(), TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(serialPort.handle(), TIOCSSERIAL, &serial);
    }
#endif
}

QString pelkoUpdate::portOpenError(const QString &name) const
{
    QString text = QStringLiteral("Cannot open port %1: %2").arg(name, serialPort.errorString());
#ifdef Q_OS_LINUX
    // The usual first-day problem on Linux: the device node belongs to a group
    // (dialout) that a new user is not yet a member of.
    const QString path = name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
    const QByteArray nativePath = QFile::encodeName(path);
    if (::access(nativePath.constData(), F_OK) == 0
        && ::access(nativePath.constData(), R_OK | W_OK) != 0) {
        const QFileInfo device(path);
        const QString group = device.group();
        if (device.permission(QFile::ReadGroup | QFile::WriteGroup) && !group.isEmpty())
            text += QStringLiteral(" (you must be in the group %1 that owns the device, "
                                   "e.g. sudo usermod -aG %1 $USER, then log in again)")
                        .arg(group);
        else
            text += QStringLiteral(" (you have no read and write permission on %1)").arg(path);
    }
#endif
    return text;
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
    static constexpr char head[] = {char(frameStart), char(hostMark)};
    serialPort.write(head, sizeof head);
    const int n = std::min(length, payloadSize);
    if (n > 0) {
        payload[n - 1] = static_cast<unsigned char>(frameChecksum(payload, n - 1) & 0xFF);
        std::array<unsigned char, maxStuffedPayload> stuffed;
        const int size = stuffPayload(payload, n, stuffed.data());
        serialPort.write(reinterpret_cast<const char *>(stuffed.data()), size);
    }
    // Out now rather than on the next turn of the event loop: the device
    // waits for this frame, and so does the whole transfer.
    serialPort.flush();
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
    for (;;) {
        const qint64 count = serialPort.read(buffer.data(), buffer.size());
        if (count <= 0)
            return;
        receiveBytes(reinterpret_cast<const unsigned char *>(buffer.data()), count);
    }
}

void pelkoUpdate::receiveBytes(const unsigned char *bytes, qint64 count)
{
    processDeframer().feed(bytes, count, [this](const unsigned char *frame) {
        if (observer)
            observer->frameReceived();
        handleResponse(frame);
    });
}
