// The floor's loop, whatever its line: answers each data request with a
// frame computed before the transfer starts. Line has
// bool send(const Frame &) and bool next(unsigned char &), both blocking.
#ifndef FLOORLOOP_H
#define FLOORLOOP_H

#include "../tools/mwire-sim/crc16bits.h"

#include <array>
#include <cstddef>
#include <vector>

namespace floorloop {

using Frame = std::vector<unsigned char>;

inline Frame request(unsigned char code, unsigned char a0 = 0)
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

// Blocks until the device's next whole frame; returns its payload.
template <typename Line>
bool receive(Line &line, std::array<unsigned char, 8> &payload)
{
    int position = 0;
    bool escape = false;
    unsigned char b;
    while (line.next(b)) {
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
            payload[std::size_t(position - 2)] = escape ? b ^ 0x20 : b;
            escape = false;
            if (++position == 10)
                return true;
        }
    }
    return false;
}

// The whole update of an image of size bytes; 0 when the device confirmed.
template <typename Line>
int run(Line &line, long size)
{
    std::array<Frame, 64> data; // one per low offset byte of a word
    for (int i = 0; i < 64; ++i)
        data[std::size_t(i)] = request(0x04, static_cast<unsigned char>(i * 4));
    std::array<unsigned char, 8> payload{};
    for (unsigned char code : {0x00, 0x01, 0x03}) {
        if (!line.send(request(code)) || !receive(line, payload))
            return 1;
    }
    while (payload[1] == 0x82) {
        const long offset = long(payload[2]) | long(payload[3]) << 8 | long(payload[4]) << 16
                            | long(payload[5]) << 24;
        const Frame &answer = offset >= size ? request(0x05) : data[std::size_t(offset / 4 % 64)];
        if (!line.send(answer) || !receive(line, payload))
            return 1;
    }
    return payload[1] == 0x83 ? 0 : 1;
}

} // namespace floorloop

#endif
