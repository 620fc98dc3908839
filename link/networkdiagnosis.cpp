#include "networkdiagnosis.h"

#include "networkport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <QTimer>

#include <memory>

namespace networkdiagnosis {

namespace {
using portdiagnosis::Finding;

// The port looked for as a window looks for it, until it is there or not.
const NetworkPort::Findings &look(NetworkPort &port, const QString &name)
{
    QEventLoop loop;
    QObject::connect(&port, &LinePort::arrived, &loop, &QEventLoop::quit);
    QObject::connect(&port, &LinePort::unreachable, &loop, &QEventLoop::quit);
    QTimer::singleShot(NetworkPort::connectBound + NetworkPort::negotiationBound + 1000, &loop,
                       &QEventLoop::quit);
    if (port.find(name, nullptr).isEmpty())
        loop.exec();
    return port.findings();
}

QString resolves(const QString &host)
{
    if (!QHostAddress(host).isNull())
        return QString();
    const QHostInfo info = QHostInfo::fromName(host);
    if (info.error() == QHostInfo::NoError && !info.addresses().isEmpty())
        return QString();
    return QStringLiteral("%1 does not resolve to an address: %2").arg(host, info.errorString());
}

QList<Finding> talk(const QString &name, const NetworkAddress &address)
{
    QList<Finding> findings;
    NetworkPort port(name);
    const NetworkPort::Findings &found = look(port, name);
    const bool raw = address.protocol == NetworkAddress::Protocol::Raw;
    // A raw server that took the connection and dropped it (its device
    // missing, in use) is as good as none.
    if (!found.connected || (raw && !found.problem.isEmpty()))
        return findings << Finding{QStringLiteral("port"), found.problem.isEmpty()
                                                               ? QStringLiteral("no answer")
                                                               : found.problem};
    findings << Finding{QStringLiteral("port"), QString()};
    if (raw && found.speaksTelnet)
        return findings << Finding{QStringLiteral("protocol"),
                                   QStringLiteral("%1 speaks telnet: an RFC 2217 port? then rfc2217://%1")
                                       .arg(address.hostAndPort())};
    if (raw)
        return findings; // its line is the server's to set
    const bool agreed = found.binary && found.comPort;
    findings << Finding{QStringLiteral("options"),
                        agreed ? QString()
                               : QStringLiteral("%1 (binary both ways and the COM-PORT-OPTION "
                                                "are needed)")
                                     .arg(found.problem)};
    if (!agreed)
        return findings;
    const QString line = !found.problem.isEmpty() ? found.problem
                         : found.settingsSent     ? QString()
                                                  : QStringLiteral("the line was not set");
    return findings << Finding{QStringLiteral("line"), line};
}
} // namespace

QList<Finding> diagnose(const QString &name)
{
    // Sockets need an event loop; none runs yet when --doctor is answered.
    std::unique_ptr<QCoreApplication> core;
    static int argc = 1;
    static char program[] = "pelkoupdate";
    static char *argv[] = {program, nullptr};
    if (!QCoreApplication::instance())
        core = std::make_unique<QCoreApplication>(argc, argv);
    QString error;
    const NetworkAddress address = NetworkAddress::parse(name, &error);
    if (!address.valid())
        return {Finding{QStringLiteral("address"), error}};
    const QString unresolved = resolves(address.host);
    if (!unresolved.isEmpty())
        return {Finding{QStringLiteral("name"), unresolved}};
    return QList<Finding>{Finding{QStringLiteral("name"), QString()}} + talk(name, address);
}

} // namespace networkdiagnosis
