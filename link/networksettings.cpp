#include "networkport.h"

// How a network port is made a serial line: the server's RFC 2217 answers
// held against the settings asked, and the connection's own probes.

#include <QTcpSocket>

#include <cerrno>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

void NetworkPort::negotiate()
{
    sendReplies();
    found.binary = telnet.binary();
    found.comPort = telnet.comPort();
    found.settingsSent = telnet.settingsSent();
    for (int s = 0; s < Telnet::settingCount; ++s)
        found.answered[s] = telnet.answered(Telnet::Setting(s));
    const QString at = where.hostAndPort();
    if (telnet.faulted())
        return unreached(QStringLiteral("%1 sent a subnegotiation without end").arg(at));
    if (telnet.refused())
        return refuse(QStringLiteral("%1 refused binary transmission or the COM-PORT-OPTION: not an "
                                     "RFC 2217 port (a raw one? then tcp://%1, its line set on the "
                                     "server)")
                          .arg(at));
    if (telnet.wrongSetting() >= 0)
        return refuse(wrongSetting());
    if (telnet.settingsSent() && !sinceSettings.isValid()) {
        sinceSettings.start();
        stepTimer.start(answerBound);
    }
    if (telnet.binary() && telnet.comPort() && telnet.allAnswered())
        settled();
}

QString NetworkPort::wrongSetting() const
{
    static const char *const names[] = {"baud rate", "data bits", "parity", "stop bits",
                                        "flow control"};
    static const char *const asked[] = {"57600", "8", "none", "1", "none"};
    // RFC 2217's codes for the settings that are not numbers.
    static const QStringList parities{"?", "none", "odd", "even", "mark", "space"};
    static const QStringList stopBits{"?", "1", "2", "1.5"};
    static const QStringList flows{"?", "none", "XON/XOFF", "hardware"};
    const int setting = telnet.wrongSetting();
    const int value = int(telnet.wrongValue());
    const QStringList *words = setting == 2 ? &parities : setting == 3 ? &stopBits : setting == 4 ? &flows : nullptr;
    const QString said = words && value >= 0 && value < words->size() ? words->at(value) : QString::number(value);
    return QStringLiteral("%1 set its line's %2 to %3, not %4")
        .arg(where.hostAndPort(), QLatin1String(names[setting]), said, QLatin1String(asked[setting]));
}

void NetworkPort::settled()
{
    stepTimer.stop();
    stage = Stage::Ready;
    emit arrived();
}

// A fixture computer switched off or a cable pulled says nothing: the
// system's own probes find it within seconds, not the default two hours.
void NetworkPort::keepAlive()
{
#ifdef Q_OS_LINUX
    const int savedErrno = errno;
    const int fd = int(socket->socketDescriptor());
    const int idle = 5, interval = 2, count = 3;
    const unsigned unanswered = 5000; // ms a frame may go unacknowledged
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unanswered, sizeof unanswered);
    errno = savedErrno;
#endif
}
