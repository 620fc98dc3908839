#ifndef SERIALPORT_H
#define SERIALPORT_H

#include "lineport.h"

#include <QSerialPort>
#include <QTimer>

// A serial port of this machine: a USB adapter, a built-in UART, a
// pseudo-terminal. Locked on the device itself while open, so that no
// second updater writes into the transfer by another name.
class SerialLinePort : public LinePort
{
    Q_OBJECT

public:
    SerialLinePort();

    bool takes(const QString &wanted) const override;
    QString find(const QString &wanted, QList<PortIdentity> (*ports)()) override;
    Opening open(const QString &found) override;
    void close() override;
    bool isOpen() const override { return port.isOpen(); }
    QString name() const override { return port.portName(); }
    QString path() const override { return devicePath; }
    QString errorString() const override { return port.errorString(); }
    qint64 read(char *data, qint64 maxSize) override;
    void write(const char *data, qint64 size) override;

    // Qt's own port, for the tests that reach under the seam.
    QSerialPort &qtPort() { return port; }
    void setLowLatency();

private:
    static bool mayUse(const QString &path);
    bool lock();
    bool configure();
    void failed(QSerialPort::SerialPortError error);
    QString lossReason(QSerialPort::SerialPortError error) const;

    QSerialPort port;
    QString devicePath; // the device node opened, to tell when it is gone
    QTimer resumeTimer; // after a false alarm of the port's, read on
    bool errorsWatched = false;
};

#endif
