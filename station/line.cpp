#include "line.h"

#include "enterkey.h"
#include "jsonevents.h"
#include "lineoutput.h"
#include "lineport.h"
#include "networkaddress.h"
#include "portidentity.h"
#include "printable.h"
#include "signalcatcher.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QJsonArray>
#include <QTimer>

#include <csignal>

Line::Line(const LineSettings &settings, LineOutput &out, LineOutput &err)
    : settings(settings), out(out), err(err)
{
}

Line::~Line()
{
    // The stations let go of their windows before the windows go.
    for (Bay &bay : bays)
        bay.station.reset();
}

namespace {
// Where a port name leads: two names for one device (a link, a match and
// its node) lead to the same place.
QString deviceOf(const QString &name, const QList<PortIdentity> &ports)
{
    const QString resolved = portidentity::resolve(name, ports);
    const QString place = LinePort::placeOf(resolved.isEmpty() ? name : resolved);
    if (!place.isEmpty())
        return place;
    return resolved.isEmpty() ? portidentity::normalMatch(name) : portidentity::devicePath(resolved);
}

// A network port's host by every address it has: localhost and 127.0.0.1
// are one server. Asked once, at the line's start.
QStringList placesOf(const QString &name, const QString &device)
{
    QStringList places{device};
    if (!NetworkAddress::isNetwork(name))
        return places;
    const NetworkAddress address = NetworkAddress::parse(name);
    if (!address.valid() || !QHostAddress(address.host).isNull())
        return places;
    for (const QHostAddress &ip : QHostInfo::fromName(address.host).addresses())
        places += NetworkAddress{address.protocol, ip.toString(), address.port}.key();
    return places;
}
} // namespace

// Two bays on one device would each write into the other's transfer.
bool Line::portsApart()
{
    const QList<PortIdentity> ports = pelkoUpdate::enumeratePorts();
    QList<QStringList> taken;
    for (const QString &name : settings.ports) {
        const QString device = deviceOf(name, ports);
        const QStringList places = placesOf(name, device);
        for (qsizetype other = 0; other < taken.size(); ++other) {
            for (const QString &place : places) {
                if (!taken[other].contains(place))
                    continue;
                say(QStringLiteral("bays %1 and %2 are one port: %3 and %4 both name %5")
                        .arg(other + 1)
                        .arg(taken.size() + 1)
                        .arg(settings.ports.at(other), name, place),
                    true);
                code = 64;
                return false;
            }
        }
        taken += places;
    }
    return true;
}

// The log and the database, with what they say of themselves.
bool Line::openRecords()
{
    connect(&records, &UnitRecords::said, this, [this](const QString &line, bool problem) { say(line, problem); });
    connect(&records, &UnitRecords::databaseEvent, this, &Line::emitLineEvent);
    connect(&records, &UnitRecords::stateChanged, this, &Line::recordsState);
    QString error;
    if (records.open(settings.log, settings.db, &error))
        return true;
    say(error, true);
    code = 3;
    return false;
}

// Read, digested and checked once; the other bays take it from the first.
bool Line::imageOnce()
{
    pelkoUpdate &first = *bays.front().window;
    bool held = first.holdImage(settings.file);
    for (size_t i = 1; held && i < bays.size(); ++i) {
        if (!bays[i].window->shareImage(first)) {
            say(bays[i].window->toldStatus(), true);
            code = 3;
            return false;
        }
    }
    if (!held) {
        say(first.toldStatus(), true);
        code = 3;
        return false;
    }
    const QString sha256 = QString::fromLatin1(first.heldImageSha256().toHex());
    const QString fileSha256 = QString::fromLatin1(first.heldFileSha256().toHex());
    say(QStringLiteral("image %1: %2 bytes, sha256 %3; the file's sha256 %4")
            .arg(settings.file)
            .arg(first.heldImageSize())
            .arg(sha256, fileSha256));
    emitLineEvent(jsonevents::image(settings.file, first.heldImageSize(), first.heldImageSha256(),
                            first.heldFileSha256()));
    return true;
}

bool Line::start()
{
    for (const QString &port : settings.ports) {
        Bay bay{port, std::make_unique<pelkoUpdate>(QStringList{port}), nullptr, nullptr};
        bay.window->becomeBay();
        bay.window->setReconnect(settings.reconnectMs);
        bay.window->expectImage(settings.expectSha256);
        bay.window->refuseVacantImage();
        if (settings.trace) {
            const QString mark = QStringLiteral("bay %1 %2: ").arg(bays.size() + 1).arg(port);
            bay.trace = std::make_unique<BayTrace>(printable(mark).toLocal8Bit(), err);
            bay.window->enableTrace(bay.trace.get());
        }
        bays.push_back(std::move(bay));
    }
    if (!portsApart())
        return false;
    if (!openRecords())
        return false;
    if (!imageOnce())
        return false;
    for (size_t i = 0; i < bays.size(); ++i) {
        Bay &bay = bays[i];
        bay.station = std::make_unique<Station>(*bay.window, settings.timeoutMs, out, err,
                                                settings.json, 0, settings.leaveMs);
        bay.station->joinLine(this, int(i) + 1, bay.port);
        bay.station->setRetries(settings.retries);
        bay.station->setProvenance(settings.provenance);
        if (!settings.expectFirmware.isEmpty())
            bay.station->expectFirmware(settings.expectFirmware, settings.verifyMs);
    }
    signalCatcher = std::make_unique<SignalCatcher>();
    connect(signalCatcher.get(), &SignalCatcher::caught, this, &Line::signalCaught);
    listenToOperator();
    // From the event loop: a bay that ends at once (a port that cannot be
    // opened) then ends in a running line.
    QTimer::singleShot(0, this, [this] {
        for (Bay &bay : bays)
            bay.station->startHeld(settings.file, portidentity::identityOf(bay.port));
    });
    return true;
}

int Line::takeUnit()
{
    if (logFailed || (settings.count > 0 && units >= settings.count))
        return 0;
    return ++units;
}

// One writer, one line a unit in the order units end, each on disk before
// the next: the loop runs one bay's outcome at a time.
bool Line::unitEnded(int bay, const QJsonObject &result)
{
    Q_UNUSED(bay);
    QString error;
    if (records.keep(result, &error))
        return true;
    if (!logFailed)
        say(error, true);
    logFailed = true;
    return false;
}

// A bay has ended; once the line has all its units, the bays without one
// in hand end too, and with the last bay the line.
void Line::bayEnded(int bay)
{
    Q_UNUSED(bay);
    if (complete() || signalCode != 0) {
        for (Bay &each : bays) {
            if (each.station->idle())
                each.station->endIdle();
        }
    }
    for (const Bay &each : bays) {
        if (!each.station->hasEnded())
            return;
    }
    close();
}

// SIGUSR1 is "next unit" in every bay; the others stop every bay where it
// stands, each with its unit's record.
void Line::signalCaught(int number)
{
#ifdef Q_OS_UNIX
    if (number == SIGUSR1) {
        for (Bay &bay : bays)
            bay.station->nextUnitByHand();
        return;
    }
    if (closed) {
        emit dismissedBySignal(); // the line's own exit code stands
        return;
    }
    const char *name = number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "SIGHUP";
    bySignal = true;
    stopBecause(128 + number, QStringLiteral("stopped by %1").arg(QLatin1String(name)));
#else
    Q_UNUSED(number);
#endif
}

void Line::stopBecause(int exitCode, const QString &stopped)
{
    signalCode = exitCode;
    for (Bay &bay : bays) {
        if (!bay.station->hasEnded())
            bay.station->stopBecause(exitCode, stopped);
    }
    // A bay between a unit found and its number refused has nothing to stop.
    for (Bay &bay : bays)
        bay.station->endIdle();
}

// Enter: the operator took the units away, whatever they still say.
void Line::listenToOperator()
{
    enterKey = std::make_unique<EnterKey>();
    connect(enterKey.get(), &EnterKey::pressed, this, [this] {
        for (Bay &bay : bays)
            bay.station->nextUnitByHand();
    });
    connect(enterKey.get(), &EnterKey::deaf, this, [this] { say(EnterKey::deafLine()); });
}

void Line::say(const QString &text, bool problem)
{
    const QByteArray line = printable(problem ? QStringLiteral("pelkoupdate: ") + text : text).toLocal8Bit();
    LineOutput &stream = problem || settings.json ? err : out;
    (closed ? stream.closingLine(line) : stream.line(line));
}

// The line's own events belong to no bay and no unit.
void Line::emitLineEvent(QJsonObject object)
{
    if (!settings.json)
        return;
    for (const char *key : {"bay", "unit"}) {
        if (!object.contains(QLatin1String(key)))
            object.insert(QLatin1String(key), QJsonValue());
    }
    (closed ? out.closingLine(jsonevents::line(object)) : out.line(jsonevents::line(object)));
}

