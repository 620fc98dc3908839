#ifndef PORTIDENTITY_H
#define PORTIDENTITY_H

#include <QList>
#include <QString>

// A serial port as the system knows it: a station finds its adapter by what
// it is (USB vendor, product, serial number), whatever /dev name it got
// after a replug.
struct PortIdentity
{
    PortIdentity() = default;
    explicit PortIdentity(const QString &name, const QString &location = QString())
        : name(name), location(location)
    {
    }

    QString name;     // ttyUSB0, COM3
    QString location; // /dev/ttyUSB0
    QString description;
    QString manufacturer;
    QString serialNumber;
    QString usbPath; // the physical socket, as udev's ID_PATH names it
    bool usb = false;
    quint16 vendorId = 0;
    quint16 productId = 0;
};

namespace portidentity {

QList<PortIdentity> systemPorts();

// The device node a port name stands for, as QSerialPort forms it: a path
// as it is, a name under /dev (Windows: the name itself).
QString devicePath(const QString &name);
// The port as the system knows it, by name, path or match; for a port that
// is not there, the name alone.
PortIdentity identityOf(const QString &name);

// usb:0403:6001:A50285BI, usb:0403:6001, or empty without a USB identity.
QString usbId(const PortIdentity &port);
// One line for a person: name, location, USB identity, description.
QString describe(const PortIdentity &port);

// A --port that names a port by what it is: usb:VID:PID, usb:VID:PID:SERIAL
// (hex ids, as lsusb prints them) or serial:SERIAL, or by where it is
// plugged in: usb-path:ID_PATH.
bool isMatch(const QString &wanted);
// A match as one device is named, whatever the case of its hex ids.
QString normalMatch(const QString &wanted);
// Why a --port can never name a port (a folder's path, a name that is not
// text), else empty: such a name would be waited for without end.
QString neverAPort(const QString &wanted);
// The ports that fit the match wanted; error is set, and nothing returned, for a match
// that cannot be read.
QList<PortIdentity> matching(const QString &wanted, const QList<PortIdentity> &ports,
                             QString *error);

// The port a --port (a name, a path or a match) stands for now, as QSerialPort
// takes it; empty while there is none, or while a match fits several.
// Asked again each time the port is needed: adapters come and go.
QString resolve(const QString &wanted, const QList<PortIdentity> &ports);
// The same, asking for the machine's ports only for a match: a name or a
// path is looked at alone, cheap enough to ask four times a second.
QString resolve(const QString &wanted, QList<PortIdentity> (*ports)());

} // namespace portidentity

#endif
