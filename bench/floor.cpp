// The floor of the benchmark: the least a host can do per exchange on the
// same kind of line. A blocking loop answers each data request with a frame
// computed before the transfer starts; no event loop, no window.
//   floor PORT IMAGE_BYTES
#include "../tools/mwire-sim/crc16bits.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Frame = std::vector<unsigned char>;


Frame request(unsigned char code, unsigned char a0 = 0)
{
    unsigned char payload[8] = {0x50, code, 0, 0, 0, 0, a0, 0};
    payload[7] = static_cast<unsigned char>(crc16Bits(payload, 7));
    Frame frame{0x7E, 0xFF};
    for (unsigned char b : payload) {
        if (b == 0x7E || b == 0x7D) {
            frame.push_back(0x7D);
            frame.push_back(b ^ 0x20);
        } else {
            frame.push_back(b);
        }
    }
    return frame;
}

bool send(int fd, const Frame &frame)
{
    return ::write(fd, frame.data(), frame.size()) == ssize_t(frame.size());
}

// Blocks until the device's next whole frame; returns its payload.
bool receive(int fd, std::array<unsigned char, 8> &payload)
{
    int position = 0;
    bool escape = false;
    unsigned char b;
    while (::read(fd, &b, 1) == 1) {
        if (b == 0x7E) {
            position = 1;
        } else if (position == 1) {
            position = b == 0x5E ? 2 : 0;
            escape = false;
        } else if (position >= 2) {
            if (b == 0x7D) {
                escape = true;
                continue;
            }
            payload[size_t(position - 2)] = escape ? b ^ 0x20 : b;
            escape = false;
            if (++position == 10)
                return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: floor PORT IMAGE_BYTES\n");
        return 64;
    }
    const long size = std::atol(argv[2]);
    const int fd = ::open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);

    std::array<Frame, 64> data; // one per low offset byte of a word
    for (int i = 0; i < 64; ++i)
        data[size_t(i)] = request(0x04, static_cast<unsigned char>(i * 4));
    std::array<unsigned char, 8> payload{};
    for (unsigned char code : {0x00, 0x01, 0x03}) {
        if (!send(fd, request(code)) || !receive(fd, payload))
            return 1;
    }
    while (payload[1] == 0x82) {
        const long offset = long(payload[2]) | long(payload[3]) << 8 | long(payload[4]) << 16
                            | long(payload[5]) << 24;
        const Frame &answer = offset >= size ? request(0x05) : data[size_t(offset / 4 % 64)];
        if (!send(fd, answer) || !receive(fd, payload))
            return 1;
    }
    return payload[1] == 0x83 ? 0 : 1;
}
