#ifndef SCRIPTEDUPDATE_H
#define SCRIPTEDUPDATE_H

#include "pelkoupdate.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdio>

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
        ExitClosedByHand = 130,
    };

    ScriptedUpdate(pelkoUpdate &dialog, int silenceMs, FILE *out = stdout, FILE *err = stderr);
    ~ScriptedUpdate() override;

    void start(const QString &path);
    int exitCode() const { return code; }

private:
    void statusShown(const QString &text) override;
    void frameReceived() override;
    void readyForDownload() override;
    void transferred(int percent, int imageBytes) override;
    void ended(Outcome outcome) override;

    void deviceSilent();
    void finish(int exitCode);
    void print(FILE *stream, const QString &line);

    pelkoUpdate &dialog;
    FILE *out;
    FILE *err;
    QTimer silence;
    QElapsedTimer clock;
    qint64 bytesSent = 0;
    int nextDecile = 10;
    QString lastStatus;
    int code = ExitClosedByHand;
    bool finished = false;
};

#endif
