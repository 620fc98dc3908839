#include "portidentity.h"

#include "printable.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QStringList>

#ifdef Q_OS_LINUX
#include <sys/stat.h>
#include <sys/sysmacros.h>
#endif

namespace portidentity {

namespace {
// udev's record of the device node: its ID_PATH, the socket it is in.
QString usbPathOf(const QString &location)
{
#ifdef Q_OS_LINUX
    struct stat node{};
    if (::stat(QFile::encodeName(location).constData(), &node) != 0 || !S_ISCHR(node.st_mode))
        return QString();
    QFile record(QStringLiteral("/run/udev/data/c%1:%2").arg(major(node.st_rdev)).arg(minor(node.st_rdev)));
    if (!record.open(QIODevice::ReadOnly))
        return QString();
    for (const QByteArray &line : record.readAll().split('\n')) {
        if (line.startsWith("E:ID_PATH="))
            return QString::fromLocal8Bit(line.mid(10));
    }
#else
    Q_UNUSED(location);
#endif
    return QString();
}
} // namespace

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
        port.usbPath = usbPathOf(port.location);
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

PortIdentity identityOf(const QString &wanted)
{
    const QList<PortIdentity> ports = systemPorts();
    const QString name = resolve(wanted, ports);
    for (const PortIdentity &port : ports) {
        if (!name.isEmpty() && (port.name == name || port.location == name))
            return port;
    }
    return PortIdentity(wanted, name.isEmpty() ? QString() : devicePath(name));
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

// Names and the adapter's own strings come from outside: none of them may
// start a line of its own or steer the terminal.
QString describe(const PortIdentity &port)
{
    QStringList words{port.name, port.location.isEmpty() ? QStringLiteral("-") : port.location,
                      port.usb ? usbId(port) : QStringLiteral("(no USB identity)")};
    if (!port.usbPath.isEmpty())
        words += QStringLiteral("usb-path:") + port.usbPath;
    QStringList about;
    for (const QString &text : {port.description, port.manufacturer}) {
        if (!text.isEmpty() && !about.contains(text))
            about += text;
    }
    if (!about.isEmpty())
        words += QLatin1Char('"') + about.join(QStringLiteral(", ")) + QLatin1Char('"');
    return printable(words.join(QStringLiteral("  ")));
}

// USB: as well as usb:, as people type it.
bool isMatch(const QString &wanted)
{
    return wanted.startsWith(QLatin1String("usb:"), Qt::CaseInsensitive)
           || wanted.startsWith(QLatin1String("serial:"), Qt::CaseInsensitive)
           || wanted.startsWith(QLatin1String("usb-path:"), Qt::CaseInsensitive);
}

QString normalMatch(const QString &wanted)
{
    const QStringList parts = wanted.split(QLatin1Char(':'));
    bool vendorOk = false, productOk = false;
    const uint vendor = parts.value(1).toUInt(&vendorOk, 16);
    const uint product = parts.value(2).toUInt(&productOk, 16);
    if (parts.first().toLower() != QLatin1String("usb") || parts.size() < 3 || !vendorOk || !productOk)
        return wanted;
    const QString serial = wanted.section(QLatin1Char(':'), 3);
    return QString::asprintf("usb:%04x:%04x", vendor, product)
           + (serial.isEmpty() ? QString() : QLatin1Char(':') + serial);
}

QString neverAPort(const QString &wanted)
{
    // What the system passed us was not UTF-8: the name we hold is not the
    // one on disk, and no port would ever be found by it.
    if (wanted.contains(QChar::ReplacementCharacter))
        return QStringLiteral("it is not valid UTF-8, as every port name is");
    if (!isMatch(wanted) && wanted.endsWith(QLatin1Char('/')))
        return QStringLiteral("a name ending in / is a folder");
    return QString();
}

QString resolve(const QString &wanted, const QList<PortIdentity> &ports)
{
    if (isMatch(wanted)) {
        QString error;
        const QList<PortIdentity> found = matching(wanted, ports, &error);
        return found.size() == 1 ? found.constFirst().name : QString();
    }
    for (const PortIdentity &port : ports) {
        if (port.name == wanted)
            return wanted;
    }
    // A path, or a link that is there only while its adapter is.
    return QFileInfo::exists(devicePath(wanted)) ? wanted : QString();
}

QString resolve(const QString &wanted, QList<PortIdentity> (*ports)())
{
#ifdef Q_OS_UNIX
    if (!isMatch(wanted))
        return QFileInfo::exists(devicePath(wanted)) ? wanted : QString();
#endif
    return resolve(wanted, ports());
}

QList<PortIdentity> matching(const QString &wanted, const QList<PortIdentity> &ports,
                             QString *error)
{
    const QStringList parts = wanted.split(QLatin1Char(':'));
    const QString kind = parts.first().toLower();
    QList<PortIdentity> found;
    if (kind == QLatin1String("usb-path")) {
        const QString where = wanted.section(QLatin1Char(':'), 1);
        if (where.isEmpty()) {
            *error = QStringLiteral("'%1' names no socket (usb-path:ID_PATH, as "
                                    "/dev/serial/by-path/ shows it)").arg(printable(wanted));
            return found;
        }
        for (const PortIdentity &port : ports) {
            if (!port.usbPath.isEmpty() && port.usbPath == where)
                found += port;
        }
        return found;
    }
    if (kind == QLatin1String("serial")) {
        const QString serial = wanted.section(QLatin1Char(':'), 1);
        if (serial.isEmpty()) {
            *error = QStringLiteral("'%1' names no serial number").arg(printable(wanted));
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
                     .arg(printable(wanted));
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
