// mwire-sim: a device on the M.Wire protocol behind a pseudo-terminal, for
// trying and testing the updater without hardware. POSIX only.
//
// It prints the path of its port on the first line, answers the updater as a
// device would, writes the image it received to --out, and prints a summary
// line when it ends. Exit code 0 when an image was received in full.

#include "device.h"

#include <csignal>
#ifdef __linux__
#include <sys/prctl.h>
#endif

extern volatile std::sig_atomic_t stopRequested;

namespace {
void onSignal(int)
{
    stopRequested = 1;
}
} // namespace

int main(int argc, char **argv)
{
    const Options options = parse(argc, argv);
    struct sigaction action{};
    action.sa_handler = onSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
#ifdef __linux__
    // Paced lines wake on the microsecond, not 50 us late.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
#endif
    Device device(options);
    if (!device.open())
        return 1;
    return device.run();
}
