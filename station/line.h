#ifndef LINE_H
#define LINE_H

#include "jsonevents.h"
#include "linesink.h"
#include "station.h"
#include "unitrecords.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class LineOutput;
class EnterKey;
class SignalCatcher;

// What a line of bays is asked to do.
struct LineSettings
{
    QString file;
    QStringList ports; // a bay each
    QByteArray expectSha256;
    QString log;
    QString db; // as --db: empty, the default database; "none"
    int timeoutMs = 10000;
    int reconnectMs = 5000;
    int leaveMs = 2000;
    int count = 0; // units over the whole line, 0: until a signal
    int retries = 0;
    bool json = false;
    bool trace = false;
    jsonevents::Provenance provenance;
    QString expectFirmware; // empty: what a unit runs after is not checked
    int verifyMs = 15000;
};

// Several stations at once, one per port, in one process: each bay is a
// window of its own (hidden) with its own port, de-framer and station, so a
// bay whose device floods, stalls, cancels or goes away never touches
// another's transfer. The line numbers the units over all bays, writes the
// one log, catches the signals and says the tallies.
class Line : public QObject, public BayHost
{
    Q_OBJECT

public:
    Line(const LineSettings &settings, LineOutput &out, LineOutput &err);
    ~Line() override;

    // The ports checked and the image read, digested and checked once for
    // all bays; false, with the reason printed and exitCode() set, when the
    // line cannot start.
    bool start();
    int exitCode() const { return code; }
    int bayCount() const { return int(bays.size()); }
    // Bays count from 1.
    QString bayPort(int bay) const { return bays.at(size_t(bay - 1)).port; }
    BayView bayView(int bay) const { return bays.at(size_t(bay - 1)).station->view(); }
    // The image as read once for all bays.
    const pelkoUpdate &imageHolder() const { return *bays.front().window; }
    bool imageExpected() const { return !settings.expectSha256.isEmpty(); }
    const QString &imagePath() const { return settings.file; }
    // Some bay has a unit's image partly sent.
    bool transferring() const;
    // Ends every bay where it stands, as closing the window does.
    void stop();
    // Ends every bay where it stands, as a signal does, with code and the
    // words its closing lines begin with.
    void stopBecause(int exitCode, const QString &stopped);
    // The operator says a bay's unit has been taken away, as Enter does for
    // every bay.
    void nextUnit(int bay);
    // Ended by SIGINT, SIGTERM or the like, not by its count or by stop().
    bool endedBySignal() const { return bySignal; }
    int totalPassed() const;
    int totalFailed() const;
    int totalInterrupted() const;
    // Every unit with a result, over the line.
    int totalEnded() const { return totalPassed() + totalFailed() + totalInterrupted(); }

signals:
    // Every bay has ended: the closing tally is out.
    void ended(int exitCode);
    // A stop signal after the end: whatever still shows the end goes (a
    // supervisor's SIGTERM must end the program, not wait for a person).
    void dismissedBySignal();
    void bayShowsNew(int bay);
    // A unit's outcome, for people: "Bay 2: unit 7 passed".
    void outcome(int bay, const QString &said);
    // The records' state for the window's header: empty while all is well.
    void recordsState(const QString &state);

private:
    // A bay's frame trace, each line marked with its bay.
    class BayTrace : public LineSink
    {
    public:
        BayTrace(const QByteArray &mark, LineSink &to) : mark(mark), to(to) {}
        void lines(const QByteArray &text) override;

    private:
        const QByteArray mark;
        LineSink &to;
    };
    struct Bay
    {
        QString port;
        std::unique_ptr<pelkoUpdate> window;
        std::unique_ptr<Station> station;
        std::unique_ptr<BayTrace> trace;
    };

    int takeUnit() override;
    bool unitEnded(int bay, const QJsonObject &result) override;
    QString tally(int bay) const override;
    bool complete() const override;
    void bayEnded(int bay) override;
    void bayChanged(int bay) override;

    bool portsApart();
    int sumOver(int (Station::*count)() const) const;
    bool openRecords();
    bool imageOnce();
    void signalCaught(int number);
    void listenToOperator();
    void say(const QString &text, bool problem = false);
    void emitLineEvent(QJsonObject event);
    void close();

    const LineSettings settings;
    LineOutput &out;
    LineOutput &err;
    std::vector<Bay> bays;
    UnitRecords records;
    std::unique_ptr<SignalCatcher> signalCatcher;
    std::unique_ptr<EnterKey> enterKey;
    QHash<int, int> lastSaid; // a bay's last unit whose outcome was announced
    int units = 0; // numbers taken
    int signalCode = 0;
    bool bySignal = false;
    bool logFailed = false;
    bool closed = false;
    int code = 0;
};

#endif
