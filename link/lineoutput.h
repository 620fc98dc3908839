#ifndef LINEOUTPUT_H
#define LINEOUTPUT_H

#include "linesink.h"

#include <QByteArray>
#include <QObject>

#include <memory>

class QSocketNotifier;

// The program's own lines on a standard stream, written without ever
// blocking the update: a pager, a stalled logger or a reader that is gone
// costs at most the lines it did not take. What the reader cannot take yet
// waits in a bounded queue; past the bound whole lines are dropped and
// counted. Lines go out whole, so two streams on one pipe never cut into
// each other's lines.
class LineOutput : public QObject, public LineSink
{
public:
    explicit LineOutput(int fd, qsizetype bound = 256 * 1024);
    ~LineOutput() override;

    // One line, without its newline.
    void line(const QByteArray &text);
    // Whole lines, each ending in a newline.
    void lines(const QByteArray &text) override;
    // A closing line: queued even past the bound, as the last word.
    void closingLine(const QByteArray &text);
    // Writes what waits for at most ms, for a reader that is merely slow.
    void drain(int ms);

    qint64 droppedLines() const { return dropped; }
    qsizetype waiting() const { return queue.size(); }

private:
    void push();
    qint64 writeSome(const char *data, qint64 size);
    void takeBackTornLine();

    int fd = -1;
    bool ownFd = false; // a non-blocking descriptor of our own on the stream
    bool socket = false;
    bool regular = false;
    qint64 torn = 0; // bytes of a line begun and not yet ended on the stream
    bool pollFirst = false;
    bool gone = false;
    qsizetype bound;
    QByteArray queue;
    qint64 dropped = 0;
    std::unique_ptr<QSocketNotifier> writable;
};

#endif
