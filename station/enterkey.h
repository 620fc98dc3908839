#ifndef ENTERKEY_H
#define ENTERKEY_H

#include <QObject>

#include <memory>

class QSocketNotifier;

// Enter on the station's terminal: the operator says the unit has left.
// Nothing is listened to when standard input is not a terminal.
class EnterKey : public QObject
{
    Q_OBJECT

public:
    EnterKey();
    ~EnterKey() override;

signals:
    void pressed();

private:
    void typed();

    std::unique_ptr<QSocketNotifier> terminal;
};

#endif
