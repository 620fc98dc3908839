// A TCP proxy on the loopback that holds every byte DELAY_US microseconds
// in each direction, as a longer network would: the network ports' benchmark
// puts it between the updater and ser2net. It prints the port it listens on,
// serves one connection at a time, and ends on SIGTERM, saying on standard
// error how late past its delay it passed bytes on (its own cost, which the
// benchmark does not charge to the updater).
//   delayproxy TARGET_PORT DELAY_US
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t stop = 0;
std::vector<long long> lateNs; // each chunk's, past its due time

struct Chunk
{
    Clock::time_point due;
    std::vector<char> bytes;
};

int listener()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(fd, 4) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return -1;
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    return fd;
}

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void noDelay(int fd)
{
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Moves bytes between a and b, each chunk held delay long. A side that
// closes still gets what was on its way to it, then the close is passed on
// (as the kernel would); the relay ends when both directions have.
void relay(int a, int b, std::chrono::microseconds delay)
{
    const int ends[2] = {a, b};
    std::deque<Chunk> queued[2]; // [i]: read from ends[i], for the other
    bool open[2] = {true, true};  // still reading from ends[i]
    bool passed[2] = {false, false}; // ends[i]'s close passed on
    while (!passed[0] || !passed[1]) {
        Clock::duration wait = Clock::duration::max();
        const auto now = Clock::now();
        for (int i = 0; i < 2; ++i) {
            std::deque<Chunk> &queue = queued[i];
            const int to = ends[1 - i];
            while (!queue.empty() && queue.front().due <= now) {
                const Chunk &chunk = queue.front();
                if (::write(to, chunk.bytes.data(), chunk.bytes.size()) != ssize_t(chunk.bytes.size()))
                    return;
                lateNs.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - chunk.due).count());
                queue.pop_front();
            }
            if (!queue.empty())
                wait = std::min(wait, queue.front().due - now);
            else if (!open[i] && !passed[i]) {
                ::shutdown(to, SHUT_WR);
                passed[i] = true;
            }
        }
        pollfd p[2] = {{open[0] ? a : -1, POLLIN, 0}, {open[1] ? b : -1, POLLIN, 0}};
        timespec until{};
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        until.tv_sec = ns / 1000000000;
        until.tv_nsec = ns % 1000000000;
        if (passed[0] && passed[1])
            break;
        if (stop || ::ppoll(p, 2, wait == Clock::duration::max() ? nullptr : &until, nullptr) < 0)
            return;
        for (int i = 0; i < 2; ++i) {
            if (!open[i] || !(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            const ssize_t n = ::read(ends[i], buffer, sizeof buffer);
            if (n <= 0)
                open[i] = false;
            else
                queued[i].push_back({Clock::now() + delay, std::vector<char>(buffer, buffer + n)});
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: delayproxy TARGET_PORT DELAY_US\n");
        return 64;
    }
    struct sigaction action{};
    action.sa_handler = [](int) { stop = 1; };
    ::sigaction(SIGTERM, &action, nullptr); // no restart: the wait ends
    lateNs.reserve(1 << 20);
    const int target = std::atoi(argv[1]);
    const std::chrono::microseconds delay(std::atol(argv[2]));
    // Woken on the microsecond, not 50 us late.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    const int server = listener();
    if (server < 0) {
        std::perror("delayproxy");
        return 1;
    }
    while (!stop) {
        const int client = ::accept(server, nullptr, nullptr);
        if (client < 0)
            break;
        const int upstream = connectTo(target);
        if (upstream >= 0) {
            noDelay(client);
            noDelay(upstream);
            relay(client, upstream, delay);
            ::close(upstream);
        }
        ::close(client);
    }
    long long sum = 0;
    for (long long late : lateNs)
        sum += late;
    std::sort(lateNs.begin(), lateNs.end());
    const double count = double(std::max<size_t>(lateNs.size(), 1));
    std::fprintf(stderr, "late %.1f us a chunk, median %.1f us, over %zu chunks\n", sum / 1e3 / count,
                 lateNs.empty() ? 0.0 : lateNs[lateNs.size() / 2] / 1e3, lateNs.size());
    return 0;
}
