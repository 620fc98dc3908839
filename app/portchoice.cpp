#include "portchoice.h"

#include "jsonevents.h"
#include "networkaddress.h"
#include "networkdiagnosis.h"
#include "portdiagnosis.h"
#include "printable.h"
#include "ser2netconfig.h"

#include <QFileInfo>
#include <QJsonObject>

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

namespace {
struct Checked
{
    QString path; // empty for the checks that need no port
    portdiagnosis::Finding finding;
};

// The port a name stands for, resolved as --port resolves it; a finding
// when there is none to check.
portdiagnosis::Finding lookUp(const QString &name, const QList<PortIdentity> &ports,
                              PortIdentity *found)
{
    const QString check = QStringLiteral("port");
    if (portidentity::isMatch(name)) {
        QString error;
        const QList<PortIdentity> matches = portidentity::matching(name, ports, &error);
        if (!error.isEmpty())
            return {check, error};
        if (matches.size() != 1)
            return {check, QStringLiteral("%1 matches %2 ports; the ports there are:\n%3")
                               .arg(printable(name))
                               .arg(matches.size())
                               .arg(listed(ports))};
        *found = matches.first();
        return {check, QString()};
    }
    *found = PortIdentity(name, pathOf(name, ports));
    for (const PortIdentity &port : ports) {
        if (port.name == name || port.location == found->location)
            *found = port;
    }
    if (!QFileInfo::exists(found->location))
        return {check, QStringLiteral("%1 does not exist: is the adapter plugged in? The ports there "
                                      "are:\n%2")
                           .arg(printable(found->location), listed(ports))};
    if (!portdiagnosis::isSerialPort(found->location))
        return {check, QStringLiteral("%1 is not a serial port").arg(printable(found->location))};
    return {check, QString()};
}

QList<Checked> checks(const QStringList &names, const QList<PortIdentity> &ports)
{
    QList<Checked> done;
    QList<PortIdentity> targets;
    for (const QString &name : names) {
        if (NetworkAddress::isNetwork(name)) {
            for (const portdiagnosis::Finding &finding : networkdiagnosis::diagnose(name))
                done += Checked{name, finding};
            continue;
        }
        PortIdentity port;
        const portdiagnosis::Finding found = lookUp(name, ports, &port);
        done += Checked{port.location.isEmpty() ? name : port.location, found};
        if (found.problem.isEmpty())
            targets += port;
    }
    for (const PortIdentity &port : ports) {
        if (names.isEmpty() && port.usb)
            targets += port;
    }
    if (names.isEmpty() && targets.isEmpty())
        targets += PortIdentity(); // the checks that need no port
    const portdiagnosis::System system = portdiagnosis::System::current();
    for (const PortIdentity &port : std::as_const(targets)) {
        for (const portdiagnosis::Finding &finding : portdiagnosis::diagnose(port.location, system, port))
            done += Checked{port.location, finding};
    }
    return done;
}
} // namespace

Outcome doctor(const QStringList &names, const QList<PortIdentity> &ports, bool json)
{
    QStringList lines;
    bool clear = true;
    for (const Checked &checked : checks(names, ports)) {
        const QString &problem = checked.finding.problem;
        clear = clear && problem.isEmpty();
        if (json) {
            QJsonObject event{{QStringLiteral("schema"), jsonevents::schema},
                              {QStringLiteral("event"), QStringLiteral("check")},
                              {QStringLiteral("port"), jsonevents::text(checked.path)},
                              {QStringLiteral("check"), checked.finding.check},
                              {QStringLiteral("ok"), problem.isEmpty()},
                              {QStringLiteral("problem"), jsonevents::text(problem)}};
            lines += QString::fromUtf8(jsonevents::line(event));
            continue;
        }
        const QString where = checked.path.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(printable(checked.path));
        lines += QStringLiteral("%1%2: %3").arg(checked.finding.check, where,
                                                problem.isEmpty() ? QStringLiteral("ok") : problem);
    }
    if (lines.isEmpty() && !json)
        lines += QStringLiteral("no checks on this system");
    return {clear ? 0 : 1, lines.join(QLatin1Char('\n'))};
}

Outcome resolve(Options &options, const QList<PortIdentity> &ports)
{
    for (const QString &name : options.ports) {
        QString wrong;
        if (NetworkAddress::isNetwork(name) && !NetworkAddress::parse(name, &wrong).valid())
            return {exitUsage, QStringLiteral("--port %1").arg(wrong)};
        if (!portidentity::isMatch(name))
            continue;
        QString error;
        const QList<PortIdentity> found = portidentity::matching(name, ports, &error);
        if (!error.isEmpty())
            return {exitUsage, QStringLiteral("--port %1").arg(error)};
        // None yet is a port still to be plugged in: the update waits for it.
        // Several would be a guess.
        if (found.size() > 1)
            return {exitUsage, QStringLiteral("--port %1 matches %2 ports; the ports there are:\n%3")
                                   .arg(printable(name))
                                   .arg(found.size())
                                   .arg(listed(ports))};
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
    if (options.ser2netConfig)
        return ser2netconfig::print(options.firstPort);
    if (!options.listPorts && !options.doctor && options.ports.isEmpty() && !options.download)
        return -1;
    const QList<PortIdentity> ports = portidentity::systemPorts();
    if (options.listPorts && options.json) {
        for (const PortIdentity &port : ports)
            std::printf("%s\n", jsonevents::line(jsonevents::port(port)).constData());
        return 0;
    }
    const portchoice::Outcome outcome = options.listPorts ? portchoice::list(ports)
                                        : options.doctor  ? portchoice::doctor(options.ports, ports, options.json)
                                                          : portchoice::resolve(options, ports);
    const bool failed = outcome.exitCode > 0 && !options.doctor;
    // With JSON on standard output, what people read goes to standard error.
    if (!outcome.said.isEmpty() && options.doctor && options.json)
        std::printf("%s\n", qPrintable(outcome.said));
    else if (!outcome.said.isEmpty())
        std::fprintf(failed || options.json ? stderr : stdout, "%s%s\n",
                     failed ? "pelkoupdate: " : "", qPrintable(outcome.said));
    return outcome.exitCode;
}

} // namespace portchoice
