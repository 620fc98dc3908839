#ifndef FRAMECODEC_H
#define FRAMECODEC_H

#include <algorithm>
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
    // Bytes kept of one frame as it came; an escape repeated without end is
    // counted but not kept.
    static constexpr int maxWire = 32;

    // onNoise(bytes, count) is told the bytes dropped, as they are dropped.
    template <typename OnFrame, typename OnNoise>
    void feed(const unsigned char *bytes, long long count, OnFrame &&onFrame, OnNoise &&onNoise)
    {
        for (long long i = 0; i < count; ++i) {
            switch (take(bytes[i])) {
            case Taken::Frame:
                onFrame(rxFrame.data());
                break;
            case Taken::Dropped:
                onNoise(noise.data(), std::min(noiseCount, maxWire + 1));
                break;
            case Taken::Pending:
                break;
            }
        }
    }
    template <typename OnFrame>
    void feed(const unsigned char *bytes, long long count, OnFrame &&onFrame)
    {
        feed(bytes, count, onFrame, [](const unsigned char *, int) {});
    }

    int rxPosition = 0;
    unsigned char rxEscape = 0;
    Frame rxFrame{};
    // The last frame handed over (or the one under way), as it came.
    std::array<unsigned char, maxWire> wire{};
    int wireCount = 0;
    long long droppedBytes = 0;

private:
    enum class Taken { Pending, Frame, Dropped };
    Taken take(unsigned char b);
    void record(unsigned char b);
    Taken drop(unsigned char b, bool withWire, bool withByte);

    std::array<unsigned char, maxWire + 1> noise{};
    int noiseCount = 0;
};

#endif
