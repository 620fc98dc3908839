#include "device.h"

#include <csignal>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

extern volatile std::sig_atomic_t stopRequested;

// A device gone wrong: frame starts and noise as fast as the terminal takes
// them, never an answer; whatever comes in is read and dropped.
int Device::flood()
{
    Bytes bytes(4096);
    unsigned char buffer[4096];
    long long sent = 0;
    while (!stopRequested) {
        for (auto &b : bytes)
            b = noise() % 16 == 0 ? 0x7E : static_cast<unsigned char>(noise());
        pollfd p{line.fd(), POLLIN | POLLOUT, 0};
        if (::poll(&p, 1, 200) <= 0)
            continue;
        if ((p.revents & POLLIN) && ::read(line.fd(), buffer, sizeof buffer) <= 0)
            break;
        if (p.revents & POLLOUT) {
            const ssize_t n = ::write(line.fd(), bytes.data(), bytes.size());
            sent += n > 0 ? n : 0;
        }
    }
    std::printf("mwire-sim: flooded %lld bytes\n", sent);
    return 0;
}
