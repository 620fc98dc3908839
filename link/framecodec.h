#ifndef FRAMECODEC_H
#define FRAMECODEC_H

#include <array>
#include <cstdint>

constexpr unsigned char frameStart = 0x7E;
constexpr unsigned char frameEscape = 0x7D;
constexpr unsigned char hostMark = 0xFF;   // second byte of frames the updater sends
constexpr unsigned char deviceMark = 0x5E; // second byte of frames the device sends
constexpr int payloadSize = 8;
constexpr int maxStuffedPayload = 2 * payloadSize;

// CRC-16 over data[0..length-1]; 0 for an empty or negative length.
int crc16(const unsigned char *data, int length);

// Escapes 0x7D and 0x7E; returns the number of bytes written to out
// (at most 2 * length).
int stuffPayload(const unsigned char *payload, int length, unsigned char *out);

// Turns the device's byte stream into frames. The state survives between
// reads, so a frame may arrive in any number of pieces.
class Deframer
{
public:
    // frame holds 0x7E, 0x5E and the 8 unstuffed payload bytes.
    using Frame = std::array<unsigned char, 2 + payloadSize>;

    template <typename OnFrame>
    void feed(const unsigned char *bytes, long long count, OnFrame &&onFrame)
    {
        for (long long i = 0; i < count; ++i) {
            if (take(bytes[i]))
                onFrame(rxFrame.data());
        }
    }

    int rxPosition = 0;
    unsigned char rxEscape = 0;
    Frame rxFrame{};

private:
    bool take(unsigned char b);
};

// The one de-framer of the process: the serial line is one byte stream.
Deframer &processDeframer();

#endif
