#include "pelkoupdate.h"

#include "ui_pelkoupdate.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QPushButton>

// Ports that come and go: an adapter plugged in late, a unit that brings its
// own, a USB hiccup mid-update. The name the port was given is asked
// again each time; a port that is back carries on with the same device.

namespace {
constexpr int lookEveryMs = 250;
constexpr int enumerateAtLeastEvery = 40; // looks: 10 s
} // namespace

// A name or a path costs a look at one file; a match is worth asking for
// the machine's ports only when a device node came or went.
bool pelkoUpdate::worthLooking()
{
    if (!portidentity::isMatch(ui->comboBoxPort->currentText()))
        return true;
    if (!deviceNodes && QDir(QStringLiteral("/dev")).exists()) {
        deviceNodes = std::make_unique<QFileSystemWatcher>(QStringList{QStringLiteral("/dev")});
        connect(deviceNodes.get(), &QFileSystemWatcher::directoryChanged, this,
                [this] { nodesChanged = true; });
    }
    if (!nodesChanged && ++looksSinceEnumerating < enumerateAtLeastEvery && deviceNodes)
        return false;
    nodesChanged = false;
    looksSinceEnumerating = 0;
    return true;
}

QList<const pelkoUpdate *> &pelkoUpdate::liveWindows()
{
    static QList<const pelkoUpdate *> windows;
    return windows;
}

// Several windows of one process (the bays of a line) each hold a port of
// their own: a name that has come to mean another one's port waits until
// that one lets go, rather than write into its transfer.
bool pelkoUpdate::heldByAnother(const QString &name) const
{
    if (!bay)
        return false;
    const QString place = LinePort::placeOf(name);
    for (const pelkoUpdate *window : liveWindows()) {
        if (window != this && window->bay && window->linePort->isOpen() && !place.isEmpty()
            && LinePort::placeOf(window->portPath) == place)
            return true;
    }
    return false;
}

LinePort &pelkoUpdate::portFor(const QString &wanted)
{
    if (linePort && linePort->takes(wanted))
        return *linePort;
    if (linePort) {
        linePort->disconnect(this);
        linePort->close();
        linePort.release()->deleteLater(); // it may be telling something right now
    }
    linePort = LinePort::create(wanted);
    connect(linePort.get(), &LinePort::readyRead, this, &pelkoUpdate::receive);
    connect(linePort.get(), &LinePort::lost, this, &pelkoUpdate::lineLost);
    connect(linePort.get(), &LinePort::arrived, this, &pelkoUpdate::portArrived);
    connect(linePort.get(), &LinePort::unreachable, this, &pelkoUpdate::portUnreachable);
    return *linePort;
}

// A pseudo-terminal named by its own path that went away never comes back:
// the next one of that number is another program's line.
QString pelkoUpdate::resolvedPort(bool *held)
{
    const QString wanted = ui->comboBoxPort->currentText();
    if (!goneTerminal.isEmpty() && portidentity::devicePath(wanted) == goneTerminal)
        return QString();
    const QString resolved = portFor(wanted).find(wanted, enumeratePorts);
    const bool taken = !resolved.isEmpty() && heldByAnother(resolved);
    if (held)
        *held = taken;
    return taken ? QString() : resolved;
}

// Not there yet: File stays available, and the port is looked for until it
// comes, or a script's time-out ends the wait.
void pelkoUpdate::awaitPort(bool held)
{
    const QString wanted = ui->comboBoxPort->currentText();
    lostState = -1;
    // A network port is looked for by connecting to it; only a connection
    // that fails makes it a port not there.
    firstLook = !held && linePort->looking();
    if (firstLook)
        return;
    showWaiting(held);
    if (observer)
        observer->portAbsent(wanted);
    connect(&portWaitTimer, &QTimer::timeout, this, &pelkoUpdate::lookForPort, Qt::UniqueConnection);
    portWaitTimer.start(lookEveryMs);
}

void pelkoUpdate::showWaiting(bool held)
{
    const QString wanted = ui->comboBoxPort->currentText();
    const QString text = held ? QStringLiteral("waiting for %1, which another bay holds").arg(wanted)
                              : QStringLiteral("waiting for %1 to appear").arg(wanted);
    showStatus(text, held || lookTrouble.isEmpty() ? QString()
                                                   : QStringLiteral("%1 (%2)").arg(text, lookTrouble));
}

void pelkoUpdate::waitForLostPort(qint32 before, const QString &reason)
{
    lostState = before;
    lostReason = reason;
    firstLook = false;
    lostFor.start();
    const int percent = before >= StateStartDownload && imageSize > 0
                            ? int(bytesAsked * 100 / imageSize)
                            : 0;
    const QString port = linePort->name();
    const QString text = QStringLiteral("Port %1 lost at %2 %, waiting for it").arg(port).arg(percent);
    showStatus(text, QStringLiteral("%1 (%2)").arg(text, reason));
    if (observer)
        observer->portLost(percent);
    connect(&portWaitTimer, &QTimer::timeout, this, &pelkoUpdate::lookForPort, Qt::UniqueConnection);
    portWaitTimer.start(lookEveryMs);
}

void pelkoUpdate::lookForPort()
{
    if (lostState >= 0 && !patientForPort && lostFor.elapsed() >= reconnectMs)
        return giveUpOnPort();
    bool held = false;
    const QString port = worthLooking() ? resolvedPort(&held) : QString();
    if (held && lostState < 0)
        showWaiting(true);
    if (port.isEmpty())
        return;
    // A node that has just appeared may not open yet (udev still setting
    // its group, a driver settling): it is tried again while the wait lasts,
    // the reason on the line.
    const qint32 before = lostState;
    if (!openPort(port))
        return;
    portWaitTimer.stop();
    lostState = -1;
    if (before >= 0) {
        const double seconds = lostFor.elapsed() / 1000.0;
        // A transfer under way goes on, once the same device answers.
        resuming = before >= StateStartDownload;
        showStatus(QStringLiteral("Port %1 back after %2 s").arg(linePort->name()).arg(seconds, 0, 'f', 1));
        if (observer)
            observer->portBack(seconds);
    } else {
        showStatus(portAndFileText());
        if (observer)
            observer->portBack(-1);
    }
    beginFinding();
}

void pelkoUpdate::giveUpOnPort()
{
    portWaitTimer.stop();
    linePort->close(); // a look under way ends with the wait
    const qint32 before = lostState;
    lostState = -1;
    resuming = false;
    QString whole;
    const QString shortly = lostText(before, lostReason, &whole);
    showStatus(shortly, whole + QStringLiteral("; not back within %1 s").arg(reconnectMs / 1000.0));
    notifyEnded(UpdateObserver::Outcome::DeviceLost);
}

// A port looked for is there: at once rather than at the next look.
void pelkoUpdate::portArrived()
{
    lookTrouble.clear();
    if (firstLook) {
        firstLook = false;
        return openAndFind();
    }
    if (portWaitTimer.isActive())
        lookForPort();
}

// Not there, with the reason (nothing listening, no answer): the first look
// now says the port is waited for; a wait under way says why.
void pelkoUpdate::portUnreachable(const QString &reason)
{
    lookTrouble = reason;
    if (firstLook)
        return awaitPort();
    if (portWaitTimer.isActive() && lostState < 0)
        showWaiting(false);
}

// The port is open: the device is looked for, as after File.
void pelkoUpdate::beginFinding()
{
    ui->pushButtonOK->setEnabled(false);
    holdPortChoice();
    leaving = false;
    state = StateFindDevice;
    findingFor.start();
    findingHint.clear();
    sendNextRequest();
    retryTimer.setInterval(200);
    connect(&retryTimer, &QTimer::timeout, this, &pelkoUpdate::timeout, Qt::UniqueConnection);
}

// The device that answers after the port came back: the same one (by its
// versions) goes on from where it asks; another one gets nothing more.
void pelkoUpdate::resumeTransfer(const unsigned char *payload)
{
    resuming = false;
    if (std::equal(versionBytes.begin(), versionBytes.end(), payload + 2)) {
        showStatus(QStringLiteral("Please wait, in progressing..."));
        state = StateStartDownload;
        return sendNextRequest();
    }
    const QString text = QStringLiteral("another device answered on %1").arg(linePort->name());
    restAfterFailure(text, text + QString::asprintf(" (firmware V%2.2x.%2.2x, hardware V%2.2x.%2.2x); "
                                                   "nothing more was sent",
                                                   payload[5], payload[4], payload[3], payload[2]),
                     UpdateObserver::Outcome::OtherDevice);
}
