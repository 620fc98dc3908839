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
    bool usb = false;
    quint16 vendorId = 0;
    quint16 productId = 0;
};

namespace portidentity {

QList<PortIdentity> systemPorts();

// The device node a port name stands for, as QSerialPort forms it: a path
// as it is, a name under /dev (Windows: the name itself).
QString devicePath(const QString &name);

// usb:0403:6001:A50285BI, usb:0403:6001, or empty without a USB identity.
QString usbId(const PortIdentity &port);
// One line for a person: name, location, USB identity, description.
QString describe(const PortIdentity &port);

// A --port that names a port by what it is: usb:VID:PID, usb:VID:PID:SERIAL
// (hex ids, as lsusb prints them) or serial:SERIAL.
bool isMatch(const QString &wanted);
// The ports that fit the match wanted; error is set, and nothing returned, for a match
// that cannot be read.
QList<PortIdentity> matching(const QString &wanted, const QList<PortIdentity> &ports,
                             QString *error);

} // namespace portidentity

#endif
