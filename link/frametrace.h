#ifndef FRAMETRACE_H
#define FRAMETRACE_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>

class LineSink;

// What went over the line, frame by frame, for people who debug a device's
// bootloader: each frame's wire bytes and what they mean. The counts are
// kept whether or not the trace is written; the lines are formatted only
// when it is on.
class FrameTrace
{
public:
    struct Counts
    {
        long long framesSent = 0;
        long long framesReceived = 0;
        long long noiseBytes = 0;
        long long framesIgnored = 0;
        long long checksumsDiffering = 0;
        Counts since(const Counts &before) const
        {
            return {framesSent - before.framesSent, framesReceived - before.framesReceived,
                    noiseBytes - before.noiseBytes, framesIgnored - before.framesIgnored,
                    checksumsDiffering - before.checksumsDiffering};
        }
    };

    FrameTrace();
    ~FrameTrace();
    // Lines go to out from now on, timed from this moment.
    void enable(LineSink *out);
    bool on() const { return out != nullptr; }

    // A frame of ours: its wire bytes and the payload they carry; offset is
    // the image offset of a data request.
    void sent(const unsigned char *wire, int length, const unsigned char *payload, quint32 offset);
    // A device frame: its wire bytes (length may exceed what was kept) and
    // the unstuffed frame.
    void received(const unsigned char *wire, int length, const unsigned char *frame);
    void noise(const unsigned char *bytes, int count);
    // The frame just received changed nothing in state (an UpdateState), or
    // was not tagged for the updater at all (state -1).
    void ignored(int state);
    void flush();

    const Counts &counts() const { return tally; }
    QString qualityLine() const { return qualityLine(tally); }
    static QString qualityLine(const Counts &counts);

private:
    void line(const char *direction, const unsigned char *wire, int length, const QString &meaning);
    void endNoise();

    LineSink *out = nullptr;
    QElapsedTimer clock;
    QByteArray pending; // written after the event in hand, never before a frame
    QTimer flushTimer;
    QByteArray noiseRun; // noise is told in runs, not byte by byte
    Counts tally;
};

#endif
