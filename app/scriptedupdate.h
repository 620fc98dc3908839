#ifndef SCRIPTEDUPDATE_H
#define SCRIPTEDUPDATE_H

#include "pelkoupdate.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <vector>

class LineOutput;
class QSocketNotifier;

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
        ExitClosedByHand = 130,
    };

    ScriptedUpdate(pelkoUpdate &dialog, int silenceMs, LineOutput &out, LineOutput &err);
    ~ScriptedUpdate() override;

    void start(const QString &path);
    int exitCode() const { return code; }
    // SIGINT, SIGTERM and SIGHUP end the update cleanly, with a summary and
    // the shell's exit code for the signal. A reader that goes away
    // (SIGPIPE) no longer ends it at all.
    void catchSignals();

private:
    void statusShown(const QString &text) override;
    void deviceFound() override;
    void readyForDownload(qint32 imageSize) override;
    void wordSent(quint32 offset) override;
    void endOfImageSent() override;
    void ended(Outcome outcome) override;

    void progressed(const char *next);
    void printProgress(int percent);
    void noProgress();
    void interrupted();
    void closedByHand();
    QString deviceHolds() const;
    void finish(int exitCode);
    void print(LineOutput &stream, const QString &line);
    QString summary() const;

    pelkoUpdate &dialog;
    LineOutput &out;
    LineOutput &err;
    // The longest wait for progress; frames that move nothing don't restart it.
    QTimer noProgressTimer;
    static constexpr const char *initialWait = "the device to answer the device query";
    const char *waitingFor = initialWait;
    QElapsedTimer clock;
    qint32 imageSize = 0;
    std::vector<bool> covered; // a flag per word of the image, sized at Download
    qint64 wordsSent = 0;
    qint64 bytesCovered = 0;
    int nextDecile = 10;
    bool downloading = false;
    bool endSent = false; // the end-of-image request went out, not yet confirmed
    QString lastStatus;
    int code = ExitClosedByHand;
    bool finished = false;
    std::unique_ptr<QSocketNotifier> signalNotifier;
};

#endif
