#ifndef SIGNALCATCHER_H
#define SIGNALCATCHER_H

#include <QObject>

#include <memory>

class QSocketNotifier;

// SIGINT, SIGTERM, SIGHUP and SIGUSR1 as events of the loop: the handler
// only writes the signal's number, and caught() says it once the loop
// has it. A reader that goes away (SIGPIPE) no longer ends the program.
class SignalCatcher : public QObject
{
    Q_OBJECT

public:
    SignalCatcher();
    ~SignalCatcher() override;

    // A stop that comes while the program starts (the window system, the
    // window being made) is held until a catcher takes it, rather than end
    // the program with no closing lines; released when none will.
    static void holdStopSignals(bool hold);

signals:
    void caught(int number);

private:
    void readOne();

    std::unique_ptr<QSocketNotifier> notifier;
};

#endif
