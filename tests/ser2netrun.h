#ifndef SER2NETRUN_H
#define SER2NETRUN_H

// Debian's ser2net, started by a test with a configuration of its own on
// loopback ports it chooses, in front of simulated devices' terminals.

#include <QElapsedTimer>
#include <QFile>
#include "simrun.h"

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace ser2net {

inline QString program()
{
    return QStandardPaths::findExecutable(QStringLiteral("ser2net"),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
}

// A TCP port on the loopback that nothing listens on now.
inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// One connection of a configuration: the accepter ("telnet(rfc2217),tcp"
// or "tcp") on host and port, the terminal, the line its connector opens.
inline QString connection(const QString &accepter, const QString &host, quint16 port,
                          const QString &terminal, const QString &line = QStringLiteral("57600n81"))
{
    return QStringLiteral("connection: &port%2\n"
                          "  accepter: %1,%3,%2\n"
                          "  connector: serialdev,%4,%5,local\n"
                          "  options:\n"
                          "    chardelay: false\n")
        .arg(accepter)
        .arg(port)
        .arg(host, terminal, line);
}

// Whether the system shows a socket listening on port, IPv4 or IPv6.
inline bool listening(quint16 port)
{
    const QByteArray suffix = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char *name : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile table(QString::fromLatin1(name));
        if (!table.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : table.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 3 && fields[1].endsWith(suffix) && fields[3] == "0A")
                return true;
        }
    }
    return false;
}

class Server
{
public:
    ~Server() { stop(); }
    // Starts ser2net on the configuration and waits until port listens.
    bool start(const QString &yaml, quint16 port)
    {
        text = yaml;
        listensOn = port;
        QFile file(dir.filePath(QStringLiteral("ser2net.yaml")));
        if (!file.open(QIODevice::WriteOnly) || file.write("%YAML 1.1\n---\n" + yaml.toUtf8()) < 0)
            return false;
        file.close();
        process.setProcessChannelMode(QProcess::MergedChannels);
        // -d: in the foreground, its log on standard output; -u: no UUCP
        // lock files left behind by a killed server.
        process.start(program(), {QStringLiteral("-d"), QStringLiteral("-u"), QStringLiteral("-c"),
                                  file.fileName()});
        if (!process.waitForStarted(3000))
            return false;
        QElapsedTimer waited;
        waited.start();
        while (!listening(port) && waited.elapsed() < 5000 && process.state() == QProcess::Running)
            QTest::qWait(5);
        return listening(port);
    }
    // Killed, as a crash or a power cut would, and started again.
    bool restart()
    {
        stop();
        return start(text, listensOn);
    }
    void stop()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(3000);
        }
    }

    QTemporaryDir dir;
    QString text;
    quint16 listensOn = 0;
    QProcess process;
};

// A simulated device with its own terminal; its first line is the terminal.
using Sim = simrun::Sim;

// An image rich in what the wire treats apart: 0xFF (telnet's IAC, and
// doubled on the way), 0x7E and 0x7D (the frame's start and escape).
inline QByteArray richImage(int size)
{
    static const char special[] = {'\xff', '\x7e', '\x7d', '\xff', '\xff', '\x5e', '\x7d', '\x7e'};
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = i % 3 == 2 ? char(i * 7 + i / 251) : special[(i + i / 64) % 8];
    return bytes;
}

} // namespace ser2net

#endif
