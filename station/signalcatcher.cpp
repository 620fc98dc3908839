#include "signalcatcher.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <csignal>
#include <cstring>
#include <pthread.h>
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
    sigset_t caughtNow;
    sigemptyset(&caughtNow);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
        // Ignored on entry (nohup, a job started with & without job control)
        // stays ignored, as a shell and its daemons leave it.
        struct sigaction before;
        if (::sigaction(number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        ::sigaction(number, &action, nullptr);
        sigaddset(&caughtNow, number);
    }
    // Held since the program began (holdStopSignals): one that came while
    // the window was made is delivered now, to the handler.
    ::pthread_sigmask(SIG_UNBLOCK, &caughtNow, nullptr);
#endif
}

void SignalCatcher::holdStopSignals(bool hold)
{
#ifdef Q_OS_UNIX
    sigset_t stops;
    sigemptyset(&stops);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        sigaddset(&stops, number);
    ::pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &stops, nullptr);
#else
    Q_UNUSED(hold);
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
