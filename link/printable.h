#ifndef PRINTABLE_H
#define PRINTABLE_H

#include <QString>

// Unicode's own controls that reorder a line (the bidirectional embeddings,
// overrides and isolates) or break it (the line and paragraph separators).
inline bool reordersOrBreaks(char16_t u)
{
    return u == 0x061c || u == 0x200e || u == 0x200f || (u >= 0x202a && u <= 0x202e)
           || (u >= 0x2066 && u <= 0x2069) || u == 0x2028 || u == 0x2029;
}

// A name from outside (a file, a port, a process, an adapter's own strings)
// as it may stand in a line for people: control characters shown as \n,
// \t, \x1b, \u202e, so that no name can start a line of its own, move a
// terminal's cursor or make a line read backwards.
inline QString printable(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '\n')
            shown += QLatin1String("\\n");
        else if (u == '\r')
            shown += QLatin1String("\\r");
        else if (u == '\t')
            shown += QLatin1String("\\t");
        else if (u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0))
            shown += QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        else if (reordersOrBreaks(u))
            shown += QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

#endif
