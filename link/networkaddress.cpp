#include "networkaddress.h"

#include <QHostAddress>

namespace {
const QLatin1String rfc2217Prefix("rfc2217://");
const QLatin1String rawPrefix("tcp://");

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

// HOST:PORT or [V6]:PORT, as after the prefix.
bool split(const QString &name, const QString &rest, NetworkAddress &address, QString *error)
{
    const QString form = QStringLiteral("'%1' is not %2HOST:PORT (a name, an IPv4 address or "
                                        "an IPv6 address in brackets, and a port from 1 to 65535)")
                             .arg(name, name.left(name.indexOf(QLatin1String("://")) + 3));
    QString host;
    QString port;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0 || rest.mid(close + 1, 1) != QLatin1String(":"))
            return fail(error, form);
        host = rest.mid(1, close - 1);
        port = rest.mid(close + 2);
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol)
            return fail(error, form);
    } else {
        const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
        host = rest.left(colon);
        port = rest.mid(colon + 1);
        // An IPv6 address without brackets cannot be told from its port.
        if (colon < 0 || host.contains(QLatin1Char(':')) || host.contains(QLatin1Char('/')))
            return fail(error, form);
    }
    bool ok = false;
    const uint number = port.toUInt(&ok);
    if (host.isEmpty() || !ok || number == 0 || number > 65535 || port.startsWith(QLatin1Char('+')))
        return fail(error, form);
    address.host = host;
    address.port = quint16(number);
    return true;
}
} // namespace

bool NetworkAddress::isNetwork(const QString &name)
{
    return name.startsWith(rfc2217Prefix, Qt::CaseInsensitive)
           || name.startsWith(rawPrefix, Qt::CaseInsensitive);
}

NetworkAddress NetworkAddress::parse(const QString &name, QString *error)
{
    NetworkAddress address;
    const bool rfc2217 = name.startsWith(rfc2217Prefix, Qt::CaseInsensitive);
    if (!rfc2217 && !name.startsWith(rawPrefix, Qt::CaseInsensitive)) {
        fail(error, QStringLiteral("'%1' is not rfc2217://HOST:PORT or tcp://HOST:PORT").arg(name));
        return address;
    }
    const QString rest = name.mid(rfc2217 ? rfc2217Prefix.size() : rawPrefix.size());
    if (split(name, rest, address, error))
        address.protocol = rfc2217 ? Protocol::Rfc2217 : Protocol::Raw;
    return address;
}

QString NetworkAddress::hostAndPort() const
{
    const bool v6 = host.contains(QLatin1Char(':'));
    return (v6 ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2")).arg(host).arg(port);
}

QString NetworkAddress::key() const
{
    QHostAddress ip(host);
    bool mapped = false;
    const quint32 v4 = ip.toIPv4Address(&mapped);
    if (mapped)
        ip = QHostAddress(v4);
    const QString written = ip.isNull() ? host.toLower() : ip.toString();
    return NetworkAddress{protocol, written, port}.hostAndPort();
}
