#ifndef LINESINK_H
#define LINESINK_H

#include <QByteArray>

// Where the line's trace goes: whole lines, each ending in a newline. The
// program's output stream is one; the link knows no more of it than this.
class LineSink
{
public:
    virtual ~LineSink() = default;
    virtual void lines(const QByteArray &text) = 0;
};

#endif
