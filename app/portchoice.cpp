#include "portchoice.h"

#include "portdiagnosis.h"

#include <QStringList>

namespace portchoice {

namespace {
QString listed(const QList<PortIdentity> &ports)
{
    if (ports.isEmpty())
        return QStringLiteral("  (none)");
    QStringList lines;
    for (const PortIdentity &port : ports)
        lines += QStringLiteral("  ") + portidentity::describe(port);
    return lines.join(QLatin1Char('\n'));
}

QString pathOf(const QString &name, const QList<PortIdentity> &ports)
{
    for (const PortIdentity &port : ports) {
        if (port.name == name && !port.location.isEmpty())
            return port.location;
    }
    return name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
}
} // namespace

Outcome list(const QList<PortIdentity> &ports)
{
    QStringList lines;
    for (const PortIdentity &port : ports)
        lines += portidentity::describe(port);
    return {0, lines.join(QLatin1Char('\n'))};
}

Outcome doctor(const QStringList &names, const QList<PortIdentity> &ports)
{
    QStringList paths;
    for (const QString &name : names)
        paths += pathOf(name, ports);
    for (const PortIdentity &port : ports) {
        if (names.isEmpty() && port.usb)
            paths += port.location;
    }
    if (paths.isEmpty())
        paths += QString(); // the checks that need no port
    QStringList lines;
    bool clear = true;
    for (const QString &path : std::as_const(paths)) {
        for (const portdiagnosis::Finding &finding : portdiagnosis::diagnose(path)) {
            const QString where = path.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(path);
            lines += QStringLiteral("%1%2: %3")
                         .arg(finding.check, where,
                              finding.problem.isEmpty() ? QStringLiteral("ok") : finding.problem);
            clear = clear && finding.problem.isEmpty();
        }
    }
    if (lines.isEmpty())
        lines += QStringLiteral("no checks on this system");
    return {clear ? 0 : 1, lines.join(QLatin1Char('\n'))};
}

Outcome resolve(Options &options, const QList<PortIdentity> &ports)
{
    for (QString &name : options.ports) {
        if (!portidentity::isMatch(name))
            continue;
        QString error;
        const QList<PortIdentity> found = portidentity::matching(name, ports, &error);
        if (!error.isEmpty())
            return {exitUsage, QStringLiteral("--port %1").arg(error)};
        if (found.size() != 1)
            return {exitUsage, QStringLiteral("--port %1 matches %2 ports; the ports there are:\n%3")
                                   .arg(name)
                                   .arg(found.size())
                                   .arg(listed(ports))};
        name = found.first().name;
    }
    if (!options.download || !options.ports.isEmpty())
        return {};
    QList<PortIdentity> usb;
    for (const PortIdentity &port : ports) {
        if (port.usb)
            usb += port;
    }
    if (usb.size() != 1)
        return {exitUsage,
                QStringLiteral("--download without --port: %1 USB serial ports, so none is "
                               "guessed; name one with --port. The ports there are:\n%2")
                    .arg(usb.size())
                    .arg(listed(ports))};
    options.ports = QStringList{usb.first().name};
    return {-1, QStringLiteral("using %1, the only USB serial port")
                    .arg(portidentity::describe(usb.first()))};
}

} // namespace portchoice
