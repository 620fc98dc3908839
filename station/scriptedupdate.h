#ifndef SCRIPTEDUPDATE_H
#define SCRIPTEDUPDATE_H

#include "jsonevents.h"
#include "pelkoupdate.h"

#include <QJsonObject>

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <vector>

class LineOutput;
class SignalCatcher;

// Runs one update without a person: presses Download as soon as the device's
// version is shown, prints what the window shows, and ends the program with an
// exit code that tells a script how it went.
class ScriptedUpdate : public QObject, public UpdateObserver
{
    Q_OBJECT

public:
    enum ExitCode {
        ExitUpdated = 0,
        ExitCancelled = 1,
        ExitNoDevice = 2,
        ExitUnusable = 3,
        ExitRefused = 4,
        ExitConfirmedPartial = 5,
        ExitNotRestarted = 6,
        ExitClosedByHand = 130,
    };

    // With json, standard output gets JSON Lines and the human lines go to
    // standard error.
    ScriptedUpdate(pelkoUpdate &dialog, int silenceMs, LineOutput &out, LineOutput &err,
                   bool json = false);
    ~ScriptedUpdate() override;

    void start(const QString &path, const PortIdentity &port = PortIdentity());
    // As start, with the image already read, digested and checked in the
    // window (a line's bays share one image).
    void startHeld(const QString &path, const PortIdentity &port);
    int exitCode() const { return code; }
    // SIGINT, SIGTERM and SIGHUP end the update cleanly, with a summary and
    // the shell's exit code for the signal. A reader that goes away
    // (SIGPIPE) no longer ends it at all.
    void catchSignals();
    // As if the signal had come: SIGUSR1 is "next unit"; the others end the
    // update where it stands, with its summary.
    void stopBySignal(int number);
    // The same for another reason (the display went away): "stopped
    // because ..." leads the closing line, and the program ends with code.
    void stopBecause(int exitCode, const QString &stopped);
    // Who and what every result says made it.
    void setProvenance(const jsonevents::Provenance &provenance) { this->provenance = provenance; }
    // After the device confirms, it restarts into its new image: it passes
    // only when it answers again with this firmware version ("02.00")
    // within ms.
    void expectFirmware(const QString &version, int ms);

protected:
    // The update has ended with code and its closing lines are out: by
    // default the window closes and the program ends.
    virtual void concluded();
    // Whether the wait for the first device is bounded by the time-out.
    virtual bool boundsTheFirstWait() const { return true; }
    // SIGUSR1: an operator says the unit in the fixture is gone.
    virtual void nextUnitByHand() {}
    // What a station without a unit in hand was doing, for its closing line.
    virtual QString idleState() const { return QStringLiteral("while waiting for a unit"); }
    void print(LineOutput &stream, const QString &line);
    QString inBay(const QString &line) const;
    void emitEvent(QJsonObject event);
    // Ready for another update on the same window (a station's next unit).
    void resetForNextUnit();
    void deviceFound() override;
    void finish(int exitCode, const char *outcome);
    void tellLostOutput();
    // The port not there yet, lost under the update and back: said, and
    // the time-out held while the port is away.
    void portAbsent(const QString &wanted) override;
    void portLost(int percent) override;
    void portBack(double seconds) override;
    // A few times a second while the image goes out; secondsLeft -1 while
    // not known.
    virtual void progressNoted(qint64 covered, qint64 size, qint64 secondsLeft)
    {
        Q_UNUSED(covered);
        Q_UNUSED(size);
        Q_UNUSED(secondsLeft);
    }

    pelkoUpdate &dialog;
    LineOutput &out;
    LineOutput &err;
    LineOutput &human; // err with json, else out
    const bool json;
    const int silence; // ms: the longest wait for progress
    // The longest wait for progress; frames that move nothing don't restart it.
    QTimer noProgressTimer;
    bool station = false;
    // In a line of bays, this one's number (from 1) and port: every line and
    // event says it. 0 for a station alone.
    int bay = 0;
    QString bayPort;
    int attempt = 0; // in a station, the try of the unit in hand (from 1)
    int earlierPartialTry = 0; // a try of the unit in hand that left part of an image
    int unit = 0; // in a station, the number of the unit in hand; else 0
    QString portName;
    bool finished = false;
    bool downloading = false;
    bool signalled = false;
    qint64 wordsSent = 0;
    int code = ExitClosedByHand;
    QString lastStatus;
    QString firmware;
    QString hardware;
    QElapsedTimer clock;
    QJsonObject lastResult; // the result event of the update that ended last
    Outcome lastOutcome = Outcome::Unusable; // as the window told it, when it told one
    FrameTrace::Counts countsBefore; // the line's counts when this update began

private:
    void statusShown(const QString &text) override;
    void imageChosen(qint32 size, const QByteArray &sha256, const QByteArray &fileSha256) override;
    void deviceVersion(const QString &firmware, const QString &hardware) override;
    void readyForDownload(qint32 imageSize) override;
    void wordSent(quint32 offset) override;
    void endOfImageSent(quint32 offset) override;
    void ended(Outcome outcome) override;
    void portPresence(bool present);
    // restartcheck.cpp: the unit looked for again once it confirmed
    void verifyRestart();
    void restartAnswered();
    void notRestarted();
    QString currentPort() const;
    double transferSeconds() const;

    void progressed(const char *next);
    void printProgress(int percent);
    void progressEvent(bool last);
    void noProgress();
    void closedByHand();
    QString deviceHolds() const;
    int reconnects = 0;
    bool boundedBeforeLoss = false; // the time-out ran when the port went
    int leftBeforeLoss = 0;         // ms of it left then
    QString summary() const;

    static constexpr const char *initialWait = "the device to answer the device query";
    const char *waitingFor = initialWait;
    QString absentPort; // the port waited for before anything was sent
    qint32 imageSize = 0;
    std::vector<bool> covered; // a flag per word of the image, sized at Download
    qint64 bytesCovered = 0;
    qint64 unalignedOffsets = 0; // asked between two words: garbled, covering nothing
    int nextDecile = 10;
    bool endSent = false; // the end-of-image request went out, not yet confirmed
    QString imagePath;
    QByteArray imageSha256;
    QByteArray fileSha256;
    QElapsedTimer sinceProgressEvent;
    std::unique_ptr<SignalCatcher> signalCatcher;
    jsonevents::Provenance provenance;
    QDateTime startedAt;     // the update began: started, or its unit found
    PortIdentity adapter;    // of the port the unit was found on
    QString expectedFirmware; // empty: no restart is waited for
    QString firmwareAfter;    // as the device answered once restarted
    QTimer verifyTimer;
    bool verifying = false;
    qint64 transferMs = -1; // the transfer's time, once the restart is waited for
};

#endif
