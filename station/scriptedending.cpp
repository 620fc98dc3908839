#include "scriptedupdate.h"

#include "jsonevents.h"
#include "lineoutput.h"
#include "portdiagnosis.h"
#include "portidentity.h"
#include "signalcatcher.h"

#include <QComboBox>

#include <QMetaObject>

// How a scripted update ends: the outcome, a time-out, a signal or the
// window closed, and the closing lines that say what the device holds.

#ifdef Q_OS_UNIX
#include <csignal>
#endif

void ScriptedUpdate::catchSignals()
{
    signalCatcher = std::make_unique<SignalCatcher>();
    connect(signalCatcher.get(), &SignalCatcher::caught, this, &ScriptedUpdate::stopBySignal);
}

void ScriptedUpdate::ended(Outcome outcome)
{
    lastOutcome = outcome;
    switch (outcome) {
    case Outcome::Updated:
        if (!expectedFirmware.isEmpty())
            return verifyRestart();
        return finish(ExitUpdated, "updated");
    case Outcome::ConfirmedPartial:
        return finish(ExitConfirmedPartial, "confirmed-partial");
    case Outcome::Cancelled:
        return finish(ExitCancelled, "cancelled");
    case Outcome::DeviceLost:
    case Outcome::OtherDevice:
        return finish(ExitNoDevice, "line-lost");
    case Outcome::Unusable:
        return finish(ExitUnusable, "unusable");
    case Outcome::Refused:
        return finish(ExitRefused, "refused");
    }
}

void ScriptedUpdate::noProgress()
{
    if (finished)
        return;
    QString line = QStringLiteral("no progress for %1 s while waiting for %2")
                       .arg(silence / 1000.0)
                       .arg(absentPort.isEmpty() ? QLatin1String(waitingFor)
                                                 : QStringLiteral("%1 to appear").arg(absentPort));
    if (!deviceHolds().isEmpty())
        line += QStringLiteral("; ") + deviceHolds();
    print(human, lastStatus = line);
    // Never found: say what the system shows in the way, if anything.
    if (!dialog.portDevicePath().isEmpty() && qstrcmp(waitingFor, initialWait) == 0) {
        for (const QString &problem : portdiagnosis::inTheWay(dialog.portDevicePath()))
            print(err, QStringLiteral("pelkoupdate: in the way: %1").arg(problem));
    }
    finish(ExitNoDevice, "no-progress");
}

void ScriptedUpdate::stopBySignal(int number)
{
#ifdef Q_OS_UNIX
    if (number == SIGUSR1)
        return nextUnitByHand();
    const char *name = number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "SIGHUP";
    stopBecause(128 + number, QStringLiteral("stopped by %1").arg(QLatin1String(name)));
#endif
}

// Nothing more is sent, never an end of image; the closing lines say what
// the device was left with.
void ScriptedUpdate::stopBecause(int exitCode, const QString &stopped)
{
    if (finished)
        return;
    dialog.abandonUpdate();
    const QString holds = deviceHolds();
    lastStatus = !holds.isEmpty()            ? QStringLiteral("%1: %2").arg(stopped, holds)
                 : station && unit == 0 ? QStringLiteral("%1 %2").arg(stopped, idleState())
                                        : QStringLiteral("%1 before the transfer began").arg(stopped);
    print(human, lastStatus);
    signalled = true;
    finish(exitCode, unit > 0 ? "interrupted" : "stopped");
}

// The window's close button or End, under a script: said like a signal.
void ScriptedUpdate::closedByHand()
{
    if (finished)
        return;
    dialog.abandonUpdate();
    const QString holds = deviceHolds();
    lastStatus = holds.isEmpty() ? QStringLiteral("window closed before the transfer began")
                                 : QStringLiteral("window closed: %1").arg(holds);
    print(human, lastStatus);
    // A station's unit stopped by hand is stopped as by a signal.
    finish(ExitClosedByHand, station && unit > 0 ? "interrupted" : "closed");
}

// A port that is not there is waited for, said once; a script's time-out
// still bounds the wait from the start.
void ScriptedUpdate::portAbsent(const QString &wanted)
{
    absentPort = wanted;
    portPresence(false);
}

// The wait for a lost port has a bound of its own; the time-out goes on
// once it is back with what was left of it: a port that comes and goes
// again and again (a server that takes a connection and drops it) is no
// progress, and must not hold a script for ever.
void ScriptedUpdate::portLost(int percent)
{
    Q_UNUSED(percent);
    boundedBeforeLoss = noProgressTimer.isActive();
    leftBeforeLoss = boundedBeforeLoss ? noProgressTimer.remainingTime() : 0;
    noProgressTimer.stop();
    portPresence(false);
}

void ScriptedUpdate::portBack(double seconds)
{
    reconnects += seconds >= 0 ? 1 : 0;
    absentPort.clear();
    portPresence(true);
    if (!boundedBeforeLoss || finished || verifying)
        return;
    waitingFor = initialWait;
    noProgressTimer.start(qMax(1, leftBeforeLoss));
}

void ScriptedUpdate::portPresence(bool present)
{
    QJsonObject event = jsonevents::port(portidentity::identityOf(currentPort()));
    event.insert(QStringLiteral("present"), present);
    emitEvent(event);
}

// What the device was left with, for a closing line; empty before the
// transfer began.
QString ScriptedUpdate::deviceHolds() const
{
    if (verifying)
        return QStringLiteral("the device confirmed the image, and had not answered since its restart");
    if (endSent)
        return QStringLiteral("the whole image was sent; the device did not confirm it");
    if (downloading && wordsSent > 0)
        return QStringLiteral("the device holds a partial image");
    if (earlierPartialTry > 0)
        return QStringLiteral("the device holds a partial image from try %1").arg(earlierPartialTry);
    return QString();
}

QString ScriptedUpdate::summary() const
{
    const double seconds = transferSeconds();
    QString text = QStringLiteral("sent %1 words, %2 of %3 image bytes covered, in %4 s, %5 bytes/s")
                       .arg(wordsSent)
                       .arg(bytesCovered)
                       .arg(imageSize)
                       .arg(seconds, 0, 'f', 3)
                       .arg(seconds > 0 ? qRound64(bytesCovered / seconds) : 0);
    if (reconnects > 0)
        text += QStringLiteral(", %1 reconnect%2").arg(reconnects).arg(reconnects > 1 ? "s" : "");
    if (unalignedOffsets > 0)
        text += QStringLiteral(", %1 unaligned offset%2 (garbled, covering nothing)")
                    .arg(unalignedOffsets)
                    .arg(unalignedOffsets > 1 ? "s" : "");
    const qint64 dropped = out.droppedLines() + err.droppedLines();
    if (dropped > 0)
        text += QStringLiteral("; %1 lines not written, the reader did not take them").arg(dropped);
    return text;
}

void ScriptedUpdate::finish(int exitCode, const char *outcome)
{
    if (finished)
        return;
    finished = true;
    code = exitCode;
    noProgressTimer.stop();
    // A station's results are its units': a bay stopped while it waits for
    // one has nothing to report but its tally.
    if (station && unit == 0) {
        if (code != ExitUpdated && !signalled && code != ExitClosedByHand && &human != &err)
            print(err, QStringLiteral("pelkoupdate: %1").arg(lastStatus));
        lastResult = QJsonObject();
        return concluded();
    }
    print(human, summary());
    if (!imageSha256.isEmpty())
        print(human, QStringLiteral("image %1 bytes, sha256 %2")
                         .arg(imageSize)
                         .arg(QString::fromLatin1(imageSha256.toHex())));
    const FrameTrace::Counts counts = dialog.lineTrace().counts().since(countsBefore);
    print(human, FrameTrace::qualityLine(counts));
    if (code != ExitUpdated && &human != &err)
        print(err, QStringLiteral("pelkoupdate: %1").arg(lastStatus));
    jsonevents::Result result;
    result.outcome = QLatin1String(outcome);
    result.exitCode = code;
    result.seconds = transferSeconds();
    result.wordsSent = wordsSent;
    result.bytesCovered = bytesCovered;
    result.imageSize = imageSize;
    result.imagePath = imagePath;
    result.sha256 = imageSha256;
    result.fileSha256 = fileSha256;
    result.port = portName.isEmpty() ? dialog.portDevicePath() : portName;
    result.firmware = firmware;
    result.hardware = hardware;
    result.firmwareAfter = firmwareAfter;
    result.reason = code == ExitUpdated ? QString() : lastStatus;
    result.started = startedAt.isValid() ? startedAt.toString(Qt::ISODateWithMs) : QString();
    result.ended = jsonevents::now();
    result.provenance = provenance;
    result.adapter = adapter;
    result.line = QJsonObject{{QStringLiteral("frames_sent"), counts.framesSent},
                              {QStringLiteral("frames_received"), counts.framesReceived},
                              {QStringLiteral("noise_bytes"), counts.noiseBytes},
                              {QStringLiteral("frames_ignored"), counts.framesIgnored},
                              {QStringLiteral("checksums_differing"), counts.checksumsDiffering}};
    lastResult = jsonevents::result(result);
    lastResult.insert(QStringLiteral("unit"), unit > 0 ? QJsonValue(unit) : QJsonValue());
    // The record kept in a log is the very object printed, bay and all.
    lastResult.insert(QStringLiteral("bay"), bay > 0 ? QJsonValue(bay) : QJsonValue());
    lastResult.insert(QStringLiteral("reconnects"), reconnects);
    lastResult.insert(QStringLiteral("unaligned_offsets"), unalignedOffsets);
    if (station && unit > 0)
        lastResult.insert(QStringLiteral("try"), attempt);
    emitEvent(lastResult);
    if (!station)
        tellLostOutput();
    concluded();
}

// Lines the reader of standard output never got are said where they can
// still be read.
void ScriptedUpdate::tellLostOutput()
{
    if (out.droppedLines() > 0 && &err != &out)
        print(err, QStringLiteral("pelkoupdate: %1 lines of standard output were not written (its "
                                  "reader did not take them, or its file is full)")
                       .arg(out.droppedLines()));
}

// Closing the only window ends the event loop.
void ScriptedUpdate::concluded()
{
    QMetaObject::invokeMethod(&dialog, &QWidget::close, Qt::QueuedConnection);
}

void ScriptedUpdate::resetForNextUnit()
{
    finished = false;
    unit = 0;
    downloading = false;
    endSent = false;
    wordsSent = 0;
    bytesCovered = 0;
    unalignedOffsets = 0;
    nextDecile = 10;
    lastStatus.clear();
    firmware.clear();
    hardware.clear();
    countsBefore = dialog.lineTrace().counts();
    waitingFor = initialWait;
    absentPort.clear();
    reconnects = 0;
    earlierPartialTry = 0;
    startedAt = QDateTime();
    adapter = PortIdentity();
    firmwareAfter.clear();
    verifying = false;
    verifyTimer.stop();
    transferMs = -1;
    clock.invalidate();
    sinceProgressEvent.invalidate();
}
