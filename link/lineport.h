#ifndef LINEPORT_H
#define LINEPORT_H

#include "portidentity.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

// The port a window talks to the device through: a serial port on this
// machine, or one served over the network (rfc2217://, tcp://). The window,
// the scripts, the stations and the line see only this; what is behind it
// opens, sets the line to 57600 8N1 without flow control, and says when it
// is gone. Each frame written goes out at once.
class LinePort : public QObject
{
    Q_OBJECT

public:
    enum class Opening {
        Open,
        InUse,    // another program (or another updater) holds it
        NotAPort, // a node that is no terminal at all (/dev/null, a file)
        Failed,   // errorString() says why
        NotSetUp, // opened, but its line could not be set: errorString() says why
    };

    // A network port for rfc2217:// and tcp://, a serial port for anything else.
    static std::unique_ptr<LinePort> create(const QString &wanted);
    // Where a name leads: a device node's real path, or a network host and
    // port; two names of one port lead to one place. Empty for a device
    // that is not there.
    static QString placeOf(const QString &name);

    // Whether this port serves the name wanted (else another is made).
    virtual bool takes(const QString &wanted) const = 0;
    // The port wanted stands for now, ready to open; empty while there is
    // none. A network port is looked for by connecting to it: looking() is
    // true while that is under way, which ends in arrived() or
    // unreachable().
    virtual QString find(const QString &wanted, QList<PortIdentity> (*ports)()) = 0;
    virtual bool looking() const { return false; }
    virtual Opening open(const QString &found) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // As opened, for people: ttyUSB0, pts/3, rfc2217://fixture-3:4001.
    virtual QString name() const = 0;
    // The device node, or the address as given.
    virtual QString path() const = 0;
    virtual QString errorString() const = 0;
    // The device's bytes; 0 when there are none for now.
    virtual qint64 read(char *data, qint64 maxSize) = 0;
    // Out at once: the device waits for it, and so does the transfer.
    virtual void write(const char *data, qint64 size) = 0;

signals:
    void readyRead();
    // The line broke under the open port; reason is for people.
    void lost(const QString &reason);
    // A port looked for is there now.
    void arrived();
    // A look for the port failed; the next look tries again.
    void unreachable(const QString &reason);
};

#endif
