#ifndef PRINTABLE_H
#define PRINTABLE_H

#include <QString>

// A name from outside (a file, a port, a process) as it may stand in a line
// for people: control characters shown as \n, \t, \x1b, so that no name can
// start a line of its own or move a terminal's cursor.
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
        else
            shown += c;
    }
    return shown;
}

#endif
