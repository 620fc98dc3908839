#include "networkport.h"

#include "printable.h"

#include <QTcpSocket>

#include <algorithm>


NetworkPort::NetworkPort(const QString &wanted)
    : given(wanted), where(NetworkAddress::parse(wanted, &error))
{
    stepTimer.setSingleShot(true);
    stepTimer.setTimerType(Qt::PreciseTimer); // the bounds said are the bounds kept
    connect(&stepTimer, &QTimer::timeout, this, [this] {
        const QString at = where.hostAndPort();
        if (stage == Stage::Connecting)
            return unreached(QStringLiteral("no answer from %1 within %2 s")
                                 .arg(at).arg(connectBound / 1000.0));
        if (stage != Stage::Negotiating)
            return;
        if (where.protocol == NetworkAddress::Protocol::Raw)
            return settled(); // the connection held: the server's device is open
        // Options agreed and the settings sent: an answer that never comes
        // is no reason to stay away from the device.
        if (telnet.binary() && telnet.comPort() && telnet.settingsSent())
            return settled();
        unreached(QStringLiteral("%1 did not agree to binary transmission and the COM-PORT-OPTION "
                                 "within %2 s (a raw port? then tcp://%1)")
                      .arg(at).arg(negotiationBound / 1000.0));
    });
}

NetworkPort::~NetworkPort()
{
    dropSocket();
}

// Looked for by connecting: there once connected and, for rfc2217, set up.
QString NetworkPort::find(const QString &wanted, QList<PortIdentity> (*ports)())
{
    Q_UNUSED(ports);
    switch (stage) {
    case Stage::Ready:
    case Stage::Refused:
    case Stage::Open:
        return wanted;
    case Stage::Idle:
    case Stage::Broken:
        if (!where.valid()) {
            stage = Stage::Refused; // error says why
            return wanted;
        }
        connectNow();
        return QString();
    case Stage::Connecting:
    case Stage::Negotiating:
        break;
    }
    return QString();
}

void NetworkPort::connectNow()
{
    dropSocket();
    socket = std::make_unique<QTcpSocket>();
    connect(socket.get(), &QTcpSocket::connected, this, &NetworkPort::connected);
    connect(socket.get(), &QTcpSocket::errorOccurred, this, &NetworkPort::socketFailed);
    connect(socket.get(), &QTcpSocket::readyRead, this, &NetworkPort::arrivedData);
    stage = Stage::Connecting;
    telnet = Telnet();
    found = Findings();
    banner.clear();
    error.clear();
    sinceSettings.invalidate();
    stepTimer.start(connectBound);
    socket->connectToHost(where.host, where.port);
}

void NetworkPort::connected()
{
    // One exchange per word of the image: a frame held back for Nagle's
    // algorithm would cost a round trip of its own.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    keepAlive();
    found.connected = true;
    stage = Stage::Negotiating;
    if (where.protocol == NetworkAddress::Protocol::Raw) {
        // A server whose device cannot be opened (ser2net's "Device open
        // failure", a port already in use) takes the connection and closes
        // it at once: the port is there once the connection has held.
        stepTimer.start(rawSettleMs);
        return;
    }
    stepTimer.start(negotiationBound);
    telnet.begin();
    sendReplies();
}

void NetworkPort::socketFailed(QAbstractSocket::SocketError socketError)
{
    const QString at = where.hostAndPort();
    const QString why = socket->errorString();
    switch (stage) {
    case Stage::Connecting:
    case Stage::Negotiating:
    case Stage::Ready:
        if (socketError == QAbstractSocket::ConnectionRefusedError)
            return unreached(QStringLiteral("nothing listening at %1 (%2)").arg(at, why));
        if (socketError == QAbstractSocket::RemoteHostClosedError && !banner.trimmed().isEmpty())
            return unreached(QStringLiteral("%1 closed the connection, saying \"%2\"")
                                 .arg(at, printable(QString::fromLatin1(banner.trimmed()))));
        return unreached(QStringLiteral("%1: %2").arg(at, why));
    case Stage::Open:
        return broke(QStringLiteral("the connection to %1 broke (%2)").arg(at, why));
    default:
        break;
    }
}

void NetworkPort::arrivedData()
{
    if (stage == Stage::Open)
        return emit readyRead();
    if (stage != Stage::Negotiating) {
        // Set up, not yet taken: the device's bytes from before are stale,
        // the server's late answers are read all the same.
        discardInput();
        return;
    }
    qint64 n = 0;
    if (where.protocol == NetworkAddress::Protocol::Raw) {
        // What a raw server says before it closes is its reason.
        while (socket && (n = socket->read(reinterpret_cast<char *>(raw.data()), raw.size())) > 0) {
            if (banner.isEmpty() && raw[0] == 0xFF)
                found.speaksTelnet = true;
            if (banner.size() < 200)
                banner.append(reinterpret_cast<const char *>(raw.data()), int(std::min<qint64>(n, 200)));
        }
        return;
    }
    while (socket && (n = socket->read(reinterpret_cast<char *>(raw.data()), raw.size())) > 0) {
        const int data = telnet.decode(raw.data(), int(n), escaped.data());
        // A server that refuses a connection says why in plain text.
        if (banner.size() < 200)
            banner.append(reinterpret_cast<const char *>(escaped.data()), std::min(data, 200));
    }
    negotiate();
}

// There, but of no use as it is: opening says why, once; the next look
// connects again.
void NetworkPort::refuse(const QString &why)
{
    stepTimer.stop();
    dropSocket();
    error = found.problem = why;
    stage = Stage::Refused;
    emit arrived();
}

// Not there (yet): said after the look, never inside it.
void NetworkPort::unreached(const QString &why)
{
    stepTimer.stop();
    dropSocket();
    error = found.problem = why;
    stage = Stage::Idle;
    QMetaObject::invokeMethod(this, [this, why] { emit unreachable(why); }, Qt::QueuedConnection);
}

void NetworkPort::broke(const QString &why)
{
    error = why;
    stage = Stage::Broken;
    emit lost(why);
}

LinePort::Opening NetworkPort::open(const QString &found)
{
    Q_UNUSED(found);
    switch (stage) {
    case Stage::Ready:
        stage = Stage::Open;
        discardInput();
        return Opening::Open;
    case Stage::Refused:
        stage = Stage::Idle;
        return Opening::NotSetUp;
    default:
        error = QStringLiteral("not connected to %1").arg(where.hostAndPort());
        return Opening::Failed;
    }
}

void NetworkPort::close()
{
    stepTimer.stop();
    dropSocket();
    stage = Stage::Idle;
}

void NetworkPort::dropSocket()
{
    if (!socket)
        return;
    socket->disconnect(this);
    socket->abort();
    // Not from inside its own notification.
    socket.release()->deleteLater();
}

// Whatever came before the port was taken is not the device's answer to us.
void NetworkPort::discardInput()
{
    qint64 n = 0;
    while (socket && (n = socket->read(reinterpret_cast<char *>(raw.data()), raw.size())) > 0) {
        if (where.protocol == NetworkAddress::Protocol::Rfc2217)
            telnet.decode(raw.data(), int(n), escaped.data());
    }
    sendReplies();
}

void NetworkPort::sendReplies()
{
    if (!socket || telnet.replyCount() == 0)
        return;
    socket->write(reinterpret_cast<const char *>(telnet.replies()), telnet.replyCount());
    socket->flush();
    telnet.repliesSent();
}

qint64 NetworkPort::read(char *data, qint64 maxSize)
{
    if (stage != Stage::Open || !socket)
        return -1;
    if (where.protocol == NetworkAddress::Protocol::Raw)
        return socket->read(data, maxSize);
    for (;;) {
        const qint64 n = socket->read(reinterpret_cast<char *>(raw.data()),
                                      std::min<qint64>(maxSize, qint64(raw.size())));
        if (n <= 0)
            return n;
        const int got = telnet.decode(raw.data(), int(n), reinterpret_cast<unsigned char *>(data));
        sendReplies();
        if (telnet.faulted() || telnet.refused() || telnet.wrongSetting() >= 0) {
            const QString why = telnet.wrongSetting() >= 0
                                    ? wrongSetting()
                                    : QStringLiteral("%1 broke the telnet protocol").arg(where.hostAndPort());
            // Told after the read, unless the port is closed meanwhile.
            stage = Stage::Broken;
            QMetaObject::invokeMethod(
                this, [this, why] { stage == Stage::Broken ? broke(why) : void(); },
                Qt::QueuedConnection);
            return got;
        }
        if (got > 0)
            return got;
    }
}

void NetworkPort::write(const char *data, qint64 size)
{
    if (stage != Stage::Open || !socket)
        return;
    if (where.protocol == NetworkAddress::Protocol::Raw) {
        socket->write(data, size);
    } else {
        const auto *bytes = reinterpret_cast<const unsigned char *>(data);
        for (qint64 done = 0; done < size;) {
            const int chunk = int(std::min<qint64>(size - done, qint64(escaped.size() / 2)));
            const int n = Telnet::escape(bytes + done, chunk, escaped.data());
            socket->write(reinterpret_cast<const char *>(escaped.data()), n);
            done += chunk;
        }
    }
    socket->flush();
}
