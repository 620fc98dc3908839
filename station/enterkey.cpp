#include "enterkey.h"

#include <QSocketNotifier>

#include <cstring>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

EnterKey::EnterKey()
{
#ifdef Q_OS_UNIX
    if (!::isatty(STDIN_FILENO))
        return;
    terminal = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    connect(terminal.get(), &QSocketNotifier::activated, this, &EnterKey::typed);
#endif
}

EnterKey::~EnterKey() = default;

void EnterKey::typed()
{
#ifdef Q_OS_UNIX
    char typed[256];
    const ssize_t n = ::read(STDIN_FILENO, typed, sizeof typed);
    if (n <= 0) {
        terminal->setEnabled(false);
        return;
    }
    if (std::memchr(typed, '\n', size_t(n)))
        emit pressed();
#endif
}
