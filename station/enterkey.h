#ifndef ENTERKEY_H
#define ENTERKEY_H

#include <QObject>
#include <QTimer>

#include <memory>

class QSocketNotifier;

// Enter on the station's terminal: the operator says the unit has left.
// Nothing is listened to when standard input is not a terminal. The
// terminal is read only while the program is in its foreground: a station
// started with & is never stopped by the terminal (SIGTTIN), and hears
// Enter again once it is brought to the foreground.
class EnterKey : public QObject
{
    Q_OBJECT

public:
    EnterKey();
    ~EnterKey() override;
    // What the operator is told once the terminal is heard no more.
    static QString deafLine();

signals:
    void pressed();
    // The terminal's input has ended for good (hung up, gone): told once.
    void deaf();

private:
    void listen();
    void typed();
    void inputEnded();

    std::unique_ptr<QSocketNotifier> terminal;
    QTimer foregroundCheck; // while in the background: is it ours again?
};

#endif
