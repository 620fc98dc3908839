#include "enterkey.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <unistd.h>
#endif

namespace {
#ifdef Q_OS_UNIX
// A terminal that is not the program's controlling one (setsid, a
// service given a tty) has no foreground to be out of, and never stops it.
bool inForeground()
{
    const pid_t foreground = ::tcgetpgrp(STDIN_FILENO);
    return foreground < 0 || foreground == ::getpgrp();
}
#endif
} // namespace

EnterKey::EnterKey()
{
#ifdef Q_OS_UNIX
    if (!::isatty(STDIN_FILENO))
        return;
    terminal = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    connect(terminal.get(), &QSocketNotifier::activated, this, &EnterKey::typed);
    foregroundCheck.setInterval(500);
    connect(&foregroundCheck, &QTimer::timeout, this, &EnterKey::listen);
    listen();
#endif
}

EnterKey::~EnterKey() = default;

// Keys typed while another job has the terminal are that job's: the
// terminal is left alone until it is ours again.
void EnterKey::listen()
{
#ifdef Q_OS_UNIX
    const bool ours = inForeground();
    terminal->setEnabled(ours);
    if (ours)
        foregroundCheck.stop();
    else if (!foregroundCheck.isActive())
        foregroundCheck.start();
#endif
}

void EnterKey::typed()
{
#ifdef Q_OS_UNIX
    if (!inForeground())
        return listen();
    char typed[256];
    const ssize_t n = ::read(STDIN_FILENO, typed, sizeof typed);
    if (n > 0) {
        if (std::memchr(typed, '\n', size_t(n)))
            emit pressed();
        return;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    // Ctrl-D reads as nothing once, and the terminal goes on: a key like
    // another. A terminal that hung up reads as nothing at once, for ever.
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const bool hungUp = ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
    const bool ended = n < 0 ? inForeground() : hungUp;
    if (ended)
        inputEnded();
    else if (n < 0)
        listen();
#endif
}

QString EnterKey::deafLine()
{
#ifdef Q_OS_UNIX
    return QStringLiteral("the terminal's input has ended: Enter is no longer heard; kill -USR1 %1 "
                          "says the unit has left")
        .arg(::getpid());
#else
    return QStringLiteral("the terminal's input has ended: Enter is no longer heard");
#endif
}

void EnterKey::inputEnded()
{
    terminal->setEnabled(false);
    foregroundCheck.stop();
    emit deaf();
}
