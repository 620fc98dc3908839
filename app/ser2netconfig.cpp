#include "ser2netconfig.h"

#include "printable.h"

#include <QDir>
#include <QRegularExpression>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

namespace ser2netconfig {

namespace {
QString describeAdapter(const QString &link, const QList<PortIdentity> &ports)
{
    const QString node = QFileInfo(link).canonicalFilePath();
    for (const PortIdentity &port : ports) {
        if (!node.isEmpty() && QFileInfo(port.location).canonicalFilePath() == node) {
            QString about = portidentity::usbId(port);
            if (!port.description.isEmpty())
                about += QStringLiteral(" \"%1\"").arg(port.description);
            return QStringLiteral("%1, now %2").arg(about.trimmed(), port.name);
        }
    }
    return node.isEmpty() ? QStringLiteral("(nothing in it now)") : QStringLiteral("now %1").arg(node);
}
} // namespace

QList<Served> plan(const QString &byPath, int first, const QList<PortIdentity> &ports,
                   QString *error)
{
    QList<Served> served;
    const QStringList sockets = QDir(byPath).entryList(QDir::Files | QDir::System, QDir::Name);
    if (first + sockets.size() - 1 > 65535) {
        *error = QStringLiteral("%1 ports from TCP port %2 go past 65535: a lower --first-port")
                     .arg(sockets.size())
                     .arg(first);
        return served;
    }
    int tcpPort = first;
    for (const QString &socket : sockets) {
        const QString link = QDir(byPath).filePath(socket);
        // ser2net reads a connector as words between commas, and YAML would
        // take a newline or ": " as its own: a name that could break either
        // is left out, and said.
        static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9._:+-]+$"));
        if (!plain.match(socket).hasMatch() || socket.contains(QLatin1String(": "))) {
            std::fprintf(stderr, "pelkoupdate: left out %s: ser2net could not take its name\n",
                         qPrintable(printable(link)));
            continue;
        }
        served += Served{link, tcpPort++, printable(describeAdapter(link, ports))};
    }
    return served;
}

QString yaml(const QList<Served> &served, const QString &listen)
{
    QString text = QStringLiteral(
        "%YAML 1.1\n"
        "---\n"
        "# Written by pelkoupdate --ser2net-config: each serial port of this computer\n"
        "# under a TCP port of its own, chosen by the USB socket it is plugged into,\n"
        "# for pelkoupdate --port rfc2217://THIS-COMPUTER:PORT on the station host.\n"
        "# Serve them with: ser2net -c THIS-FILE. Telnet is plaintext: keep the\n"
        "# fixture network to itself.\n");
    const QString at = listen.isEmpty() ? QString() : listen + QLatin1Char(',');
    for (const Served &port : served) {
        text += QStringLiteral("\n# %1\n"
                               "connection: &port%2\n"
                               "  accepter: telnet(rfc2217),tcp,%3%2\n"
                               "  connector: serialdev,%4,57600n81,local\n"
                               "  options:\n"
                               "    # one short frame at a time: passed on at once, not held 1 ms\n"
                               "    chardelay: false\n")
                    .arg(port.about, QString::number(port.tcpPort), at, port.byPath);
    }
    return text;
}

int print(int first)
{
    const QString byPath = QStringLiteral("/dev/serial/by-path");
    QString error;
    const QList<Served> served = plan(byPath, first, portidentity::systemPorts(), &error);
    if (served.isEmpty()) {
        std::fprintf(stderr, "pelkoupdate: %s\n",
                     qPrintable(error.isEmpty() ? QStringLiteral("no serial port in %1: plug the "
                                                                 "adapters into their sockets first")
                                                      .arg(byPath)
                                                : error));
        return 1;
    }
    std::fputs(qPrintable(yaml(served)), stdout);
    for (const Served &port : served)
        std::fprintf(stderr, "TCP port %d: %s (%s)\n", port.tcpPort, qPrintable(port.byPath),
                     qPrintable(port.about));
    return 0;
}

} // namespace ser2netconfig
