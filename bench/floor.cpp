// The floor of the benchmark: the least a host can do per exchange on the
// same kind of line. A blocking loop answers each data request with a frame
// computed before the transfer starts; no event loop, no window. PORT is a
// terminal, or tcp://127.0.0.1:N for a raw port served over the network.
//   floor PORT IMAGE_BYTES
#include "floorloop.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {

struct FdLine
{
    int fd;
    bool send(const floorloop::Frame &frame)
    {
        return ::write(fd, frame.data(), frame.size()) == ssize_t(frame.size());
    }
    bool next(unsigned char &b) { return ::read(fd, &b, 1) == 1; }
};

int openTerminal(const char *path)
{
    const int fd = ::open(path, O_RDWR | O_NOCTTY);
    if (fd < 0)
        return fd;
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

int openTcp(const char *port)
{
#ifdef __linux__
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(std::atoi(port)));
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
#else
    (void)port;
    return -1;
#endif
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: floor PORT IMAGE_BYTES\n");
        return 64;
    }
    const char *tcp = "tcp://127.0.0.1:";
    const bool network = std::strncmp(argv[1], tcp, std::strlen(tcp)) == 0;
    FdLine line{network ? openTcp(argv[1] + std::strlen(tcp)) : openTerminal(argv[1])};
    if (line.fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    return floorloop::run(line, std::atol(argv[2]));
}
