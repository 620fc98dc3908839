#include "pelkoupdate.h"

#include "framecodec.h"
#include "ui_pelkoupdate.h"

#include <QFileInfo>

#include <algorithm>
#include <cerrno>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

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
    // A file chosen again after the first one changed: start afresh on the
    // port now chosen.
    if (serialPort.isOpen())
        serialPort.close();
    serialPort.setPortName(name);
    portPath = portidentity::devicePath(name);
    if (!serialPort.open(QIODevice::ReadWrite)) {
        // Qt refuses a port another program has locked with a text of its
        // own about permissions; the user is owed who holds it.
        if (serialPort.error() == QSerialPort::PermissionError && mayUse(portPath))
            return portInUse(name);
        if (notAPort(name))
            return false;
        showStatus(QStringLiteral("Cannot open port %1: %2").arg(name, serialPort.errorString()),
                   portOpenError(name));
        return false;
    }
    if (!lockPort()) {
        serialPort.close();
        return portInUse(name);
    }
    const bool configured =
        serialPort.setBaudRate(57600) && serialPort.setFlowControl(QSerialPort::NoFlowControl) &&
        serialPort.setParity(QSerialPort::NoParity) && serialPort.setDataBits(QSerialPort::Data8) &&
        serialPort.setStopBits(QSerialPort::OneStop);
    if (!configured) {
        showStatus(QStringLiteral("Cannot set up port %1: %2").arg(name, serialPort.errorString()));
        serialPort.close();
        return false;
    }
    setLowLatency();
    // Whatever the driver held before we opened it (an answer to another
    // program, line noise) must never be taken for an answer to us.
    serialPort.clear(QSerialPort::Input);
    connect(&serialPort, &QSerialPort::readyRead, this, &pelkoUpdate::receive,
            Qt::UniqueConnection);
    if (!portErrorsWatched) {
        connect(&serialPort, &QSerialPort::errorOccurred, this,
                [this](QSerialPort::SerialPortError error) { portFailed(error); });
        portErrorsWatched = true;
    }
    return true;
}

// Two updaters on one device would mix their requests into one transfer.
// Qt's own lock goes by the name the port was opened under, and root passes
// its exclusive mode; a lock on the device itself holds whatever the name
// (a link, pts/N or /dev/pts/N) and whoever the user. Released on close.
bool pelkoUpdate::lockPort()
{
#ifdef Q_OS_UNIX
    const int savedErrno = errno;
    const bool busy = ::flock(serialPort.handle(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    errno = savedErrno;
    return !busy;
#else
    return true; // Windows opens a port for one program only
#endif
}

// Qt 6.4 reports errors that are not there: a read notification with nothing
// to read carries whatever errno an earlier call left behind, and a write the
// driver refuses for now (its buffer is full) is called a resource error,
// although the bytes stay queued and go out when the line takes them. Only
// what the operating system says of the descriptor itself decides that the
// line is gone; every other report is cleared and the line goes on.
void pelkoUpdate::portFailed(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError || !serialPort.isOpen())
        return;
    const QString reason = lineLossReason(error);
    if (reason.isEmpty()) {
        serialPort.clearError();
        // Qt turned reading off on a resource error; a read from the port
        // turns it on again. Not from inside the port's own notification.
        if (!lineResumeTimer.isActive())
            lineResumeTimer.start();
        return;
    }
    lineLost(reason);
}

// Reads what arrived meanwhile, which also starts Qt's reading again.
void pelkoUpdate::resumeLine()
{
    if (serialPort.isOpen())
        receive();
}

// A person's reason when the system says the line is gone, else empty.
QString pelkoUpdate::lineLossReason(QSerialPort::SerialPortError error) const
{
#ifdef Q_OS_UNIX
    Q_UNUSED(error);
    const int savedErrno = errno;
    const int fd = serialPort.handle();
    QString reason;
    pollfd p{fd, POLLIN | POLLOUT, 0};
    termios tio{};
    if (fd < 0 || (::poll(&p, 1, 0) == 1 && (p.revents & POLLNVAL)))
        reason = QStringLiteral("the system closed the port");
    else if (p.revents & POLLHUP)
        reason = QStringLiteral("the line hung up (adapter unplugged or device switched off)");
    else if (p.revents & POLLERR)
        reason = QStringLiteral("the line reports a fault (adapter unplugged?)");
    else if (::tcgetattr(fd, &tio) != 0 &&
             (errno == EIO || errno == ENXIO || errno == ENODEV || errno == EBADF))
        reason = QStringLiteral("the adapter does not answer the system any more (unplugged?)");
    else if (!QFile::exists(portPath))
        reason = QStringLiteral("the device is gone (adapter unplugged?)");
    errno = savedErrno;
    return reason;
#else
    // Elsewhere Qt reads and writes through the system's own overlapped
    // calls, whose failures are real: a resource error is a removed device.
    if (error == QSerialPort::ResourceError || error == QSerialPort::DeviceNotFoundError)
        return QStringLiteral("the device is gone (%1)").arg(serialPort.errorString());
    return QString();
#endif
}

// The line broke under an open port: an adapter pulled out, a device that
// reset its USB side. Say so, unless the update had already ended; a device
// that reboots into its new firmware vanishes right after reporting success.
void pelkoUpdate::lineLost(const QString &reason)
{
    const bool resting = state == StateFindDevice && !retryTimer.isActive();
    const qint32 before = state;
    retryTimer.stop();
    lineResumeTimer.stop();
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
            serialPort.close();
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
    QString shortly = QStringLiteral("Port %1 lost").arg(serialPort.portName());
    if (before == StateEndOfImage) {
        consequence = QStringLiteral("; the whole image was sent, but the device did not "
                                     "confirm it");
        shortly += QStringLiteral(": image sent, not confirmed");
    } else if (before >= StateStartDownload) {
        consequence = QStringLiteral("; download stopped, the image is incomplete");
        shortly += QStringLiteral(", image incomplete");
    }
    *whole = QStringLiteral("Port %1 lost: %2%3").arg(serialPort.portName(), reason, consequence);
    return shortly;
}

// USB serial adapters of the FTDI kind hold short packets for up to 16 ms
// unless told otherwise; with one short frame each way per word that would
// make an update several times slower. Drivers that have no such setting (a
// pseudo-terminal, ttyACM) refuse it, and that is fine.
void pelkoUpdate::setLowLatency()
{
#ifdef Q_OS_LINUX
    // A refused ioctl leaves ENOTTY in errno, which Qt would later take for
    // the reason of a read that merely found nothing.
    const int savedErrno = errno;
    serial_struct serial{};
    if (::ioctl(serialPort.handle(), TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(serialPort.handle(), TIOCSSERIAL, &serial);
    }
    errno = savedErrno;
#endif
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
    serialPort.write(reinterpret_cast<const char *>(wire.data()), 2 + size);
    // Out now rather than on the next turn of the event loop: the device
    // waits for this frame, and so does the whole transfer.
    serialPort.flush();
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
    while (serialPort.isOpen()) {
        const qint64 count = serialPort.read(buffer.data(), buffer.size());
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
