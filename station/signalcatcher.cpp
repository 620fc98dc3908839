#include "signalcatcher.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

// Only what is safe in a signal handler: one write of the signal's number.
void onSignal(int number)
{
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}
} // namespace
#endif

SignalCatcher::SignalCatcher()
{
#ifdef Q_OS_UNIX
    std::signal(SIGPIPE, SIG_IGN);
    if (signalPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    notifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    connect(notifier.get(), &QSocketNotifier::activated, this, &SignalCatcher::readOne);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        ::sigaction(number, &action, nullptr);
#endif
}

SignalCatcher::~SignalCatcher() = default;

void SignalCatcher::readOne()
{
#ifdef Q_OS_UNIX
    unsigned char number = 0;
    if (::read(signalPipe[0], &number, 1) == 1)
        emit caught(number);
#endif
}
