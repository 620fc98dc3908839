#include "serialport.h"

#include "networkaddress.h"
#include "portdiagnosis.h"

#include <QFile>

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

SerialLinePort::SerialLinePort()
{
    resumeTimer.setSingleShot(true);
    resumeTimer.setInterval(0);
    // Reading what arrived meanwhile also starts Qt's reading again.
    connect(&resumeTimer, &QTimer::timeout, this, [this] {
        if (port.isOpen())
            emit readyRead();
    });
}

bool SerialLinePort::takes(const QString &wanted) const
{
    return !NetworkAddress::isNetwork(wanted);
}

QString SerialLinePort::find(const QString &wanted, QList<PortIdentity> (*ports)())
{
    return portidentity::resolve(wanted, ports);
}

LinePort::Opening SerialLinePort::open(const QString &found)
{
    // A file chosen again after the first one changed: start afresh on the
    // port now chosen.
    close();
    port.setPortName(found);
    devicePath = portidentity::devicePath(found);
    if (!port.open(QIODevice::ReadWrite)) {
        // Qt refuses a port another program has locked with a text of its
        // own about permissions; the user is owed who holds it.
        if (port.error() == QSerialPort::PermissionError && mayUse(devicePath))
            return Opening::InUse;
        return portdiagnosis::isSerialPort(devicePath) ? Opening::Failed : Opening::NotAPort;
    }
    if (!lock()) {
        port.close();
        return Opening::InUse;
    }
    if (!configure()) {
        port.close();
        return Opening::NotSetUp;
    }
    setLowLatency();
    // Whatever the driver held before we opened it (an answer to another
    // program, line noise) must never be taken for an answer to us.
    port.clear(QSerialPort::Input);
    connect(&port, &QSerialPort::readyRead, this, &LinePort::readyRead, Qt::UniqueConnection);
    if (!errorsWatched) {
        connect(&port, &QSerialPort::errorOccurred, this, &SerialLinePort::failed);
        errorsWatched = true;
    }
    return Opening::Open;
}

void SerialLinePort::close()
{
    resumeTimer.stop();
    if (port.isOpen())
        port.close();
}

bool SerialLinePort::configure()
{
    return port.setBaudRate(57600) && port.setFlowControl(QSerialPort::NoFlowControl)
           && port.setParity(QSerialPort::NoParity) && port.setDataBits(QSerialPort::Data8)
           && port.setStopBits(QSerialPort::OneStop);
}

qint64 SerialLinePort::read(char *data, qint64 maxSize)
{
    return port.read(data, maxSize);
}

void SerialLinePort::write(const char *data, qint64 size)
{
    port.write(data, size);
    // Out now rather than on the next turn of the event loop.
    port.flush();
}

// The user could read and write the node, so a refusal means someone else
// has it.
bool SerialLinePort::mayUse(const QString &path)
{
#ifdef Q_OS_UNIX
    const int savedErrno = errno;
    const bool may = ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
    errno = savedErrno;
    return may;
#else
    Q_UNUSED(path);
    return false;
#endif
}

// Two updaters on one device would mix their requests into one transfer.
// Qt's own lock goes by the name the port was opened under, and root passes
// its exclusive mode; a lock on the device itself holds whatever the name
// (a link, pts/N or /dev/pts/N) and whoever the user. Released on close.
bool SerialLinePort::lock()
{
#ifdef Q_OS_UNIX
    const int savedErrno = errno;
    const bool busy = ::flock(port.handle(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
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
void SerialLinePort::failed(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError || !port.isOpen())
        return;
    const QString reason = lossReason(error);
    if (reason.isEmpty()) {
        port.clearError();
        // Qt turned reading off on a resource error; a read from the port
        // turns it on again. Not from inside the port's own notification.
        if (!resumeTimer.isActive())
            resumeTimer.start();
        return;
    }
    resumeTimer.stop();
    emit lost(reason);
}

// A person's reason when the system says the line is gone, else empty.
QString SerialLinePort::lossReason(QSerialPort::SerialPortError error) const
{
#ifdef Q_OS_UNIX
    Q_UNUSED(error);
    const int savedErrno = errno;
    const int fd = port.handle();
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
    else if (!QFile::exists(devicePath))
        reason = QStringLiteral("the device is gone (adapter unplugged?)");
    errno = savedErrno;
    return reason;
#else
    // Elsewhere Qt reads and writes through the system's own overlapped
    // calls, whose failures are real: a resource error is a removed device.
    if (error == QSerialPort::ResourceError || error == QSerialPort::DeviceNotFoundError)
        return QStringLiteral("the device is gone (%1)").arg(port.errorString());
    return QString();
#endif
}

// USB serial adapters of the FTDI kind hold short packets for up to 16 ms
// unless told otherwise; with one short frame each way per word that would
// make an update several times slower. Drivers that have no such setting (a
// pseudo-terminal, ttyACM) refuse it, and that is fine.
void SerialLinePort::setLowLatency()
{
#ifdef Q_OS_LINUX
    // A refused ioctl leaves ENOTTY in errno, which Qt would later take for
    // the reason of a read that merely found nothing.
    const int savedErrno = errno;
    serial_struct serial{};
    if (::ioctl(port.handle(), TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(port.handle(), TIOCSSERIAL, &serial);
    }
    errno = savedErrno;
#endif
}
