#include "portidentity.h"

#include <QSerialPortInfo>
#include <QStringList>

namespace portidentity {

QList<PortIdentity> systemPorts()
{
    QList<PortIdentity> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        PortIdentity port(info.portName(), info.systemLocation());
        port.description = info.description();
        port.manufacturer = info.manufacturer();
        port.serialNumber = info.serialNumber();
        port.usb = info.hasVendorIdentifier() && info.hasProductIdentifier();
        port.vendorId = info.vendorIdentifier();
        port.productId = info.productIdentifier();
        ports += port;
    }
    return ports;
}

QString devicePath(const QString &name)
{
#ifdef Q_OS_UNIX
    const bool path = name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("./"))
                      || name.startsWith(QLatin1String("../"));
    return path ? name : QStringLiteral("/dev/") + name;
#else
    return name;
#endif
}

QString usbId(const PortIdentity &port)
{
    if (!port.usb)
        return QString();
    QString id = QString::asprintf("usb:%04x:%04x", port.vendorId, port.productId);
    if (!port.serialNumber.isEmpty())
        id += QLatin1Char(':') + port.serialNumber;
    return id;
}

QString describe(const PortIdentity &port)
{
    QStringList words{port.name, port.location.isEmpty() ? QStringLiteral("-") : port.location,
                      port.usb ? usbId(port) : QStringLiteral("(no USB identity)")};
    QStringList about;
    for (const QString &text : {port.description, port.manufacturer}) {
        if (!text.isEmpty() && !about.contains(text))
            about += text;
    }
    if (!about.isEmpty())
        words += QLatin1Char('"') + about.join(QStringLiteral(", ")) + QLatin1Char('"');
    return words.join(QStringLiteral("  "));
}

bool isMatch(const QString &wanted)
{
    return wanted.startsWith(QLatin1String("usb:")) || wanted.startsWith(QLatin1String("serial:"));
}

QList<PortIdentity> matching(const QString &wanted, const QList<PortIdentity> &ports,
                             QString *error)
{
    const QStringList parts = wanted.split(QLatin1Char(':'));
    QList<PortIdentity> found;
    if (parts.first() == QLatin1String("serial")) {
        const QString serial = wanted.section(QLatin1Char(':'), 1);
        if (serial.isEmpty()) {
            *error = QStringLiteral("'%1' names no serial number").arg(wanted);
            return found;
        }
        for (const PortIdentity &port : ports) {
            if (port.serialNumber == serial)
                found += port;
        }
        return found;
    }
    bool vendorOk = false, productOk = false;
    const uint vendor = parts.value(1).toUInt(&vendorOk, 16);
    const uint product = parts.value(2).toUInt(&productOk, 16);
    if (parts.size() < 3 || !vendorOk || !productOk || vendor > 0xFFFF || product > 0xFFFF) {
        *error = QStringLiteral("'%1' is not usb:VID:PID or usb:VID:PID:SERIAL (hex ids, as lsusb "
                                "prints them)")
                     .arg(wanted);
        return found;
    }
    const QString serial = wanted.section(QLatin1Char(':'), 3);
    for (const PortIdentity &port : ports) {
        if (port.usb && port.vendorId == vendor && port.productId == product
            && (serial.isEmpty() || port.serialNumber == serial))
            found += port;
    }
    return found;
}

} // namespace portidentity
