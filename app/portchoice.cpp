#include "portchoice.h"

#include "jsonevents.h"
#include "portdiagnosis.h"

#include <cstdio>

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
    return portidentity::devicePath(name);
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


// Ports are found and checked before any window: a listing, a diagnosis or
// a port that cannot be told apart needs no display.
int fromCommandLine(Options &options)
{
    if (!options.listPorts && !options.doctor && options.ports.isEmpty() && !options.download)
        return -1;
    const QList<PortIdentity> ports = portidentity::systemPorts();
    if (options.listPorts && options.json) {
        for (const PortIdentity &port : ports)
            std::printf("%s\n", jsonevents::line(jsonevents::port(port)).constData());
        return 0;
    }
    const portchoice::Outcome outcome = options.listPorts ? portchoice::list(ports)
                                        : options.doctor  ? portchoice::doctor(options.ports, ports)
                                                          : portchoice::resolve(options, ports);
    const bool failed = outcome.exitCode > 0 && !options.doctor;
    // With JSON on standard output, what people read goes to standard error.
    if (!outcome.said.isEmpty())
        std::fprintf(failed || options.json ? stderr : stdout, "%s%s\n",
                     failed ? "pelkoupdate: " : "", qPrintable(outcome.said));
    return outcome.exitCode;
}


// The port as the system knows it, for the port event.
PortIdentity identityOf(const QString &name)
{
    for (const PortIdentity &port : portidentity::systemPorts()) {
        if (port.name == name || port.location == name)
            return port;
    }
    return PortIdentity(name, portidentity::devicePath(name));
}

} // namespace portchoice
