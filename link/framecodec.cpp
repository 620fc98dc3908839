#include "framecodec.h"

#include "crctable.h"

#include <algorithm>

int crc16(const unsigned char *data, int length)
{
    unsigned crc = 0;
    for (int i = 0; i < length; ++i)
        crc = ((crc << 8) ^ crcTable[((crc >> 8) ^ data[i]) & 0xFF]) & 0xFFFF;
    return static_cast<int>(crc);
}

int stuffPayload(const unsigned char *payload, int length, unsigned char *out)
{
    int size = 0;
    for (int i = 0; i < length; ++i) {
        const unsigned char b = payload[i];
        if (b == frameStart || b == frameEscape) {
            out[size++] = frameEscape;
            out[size++] = b ^ 0x20;
        } else {
            out[size++] = b;
        }
    }
    return size;
}

void Deframer::record(unsigned char b)
{
    if (wireCount < maxWire)
        wire[wireCount] = b;
    ++wireCount;
}

// The partial frame held (withWire), and b unless it starts the next frame,
// are noise.
Deframer::Taken Deframer::drop(unsigned char b, bool withWire, bool withByte)
{
    noiseCount = 0;
    if (withWire) {
        const int kept = std::min(wireCount, maxWire);
        std::copy_n(wire.begin(), kept, noise.begin());
        noiseCount = wireCount;
        droppedBytes += wireCount;
    }
    if (withByte) {
        if (noiseCount < static_cast<int>(noise.size()))
            noise[noiseCount] = b;
        ++noiseCount;
        ++droppedBytes;
    }
    return Taken::Dropped;
}

Deframer::Taken Deframer::take(unsigned char b)
{
    if (rxPosition == 0) {
        if (b == frameStart) {
            rxFrame[0] = frameStart;
            rxPosition = 1;
            wireCount = 0;
            record(b);
            return Taken::Pending;
        }
        return drop(b, false, true);
    }
    if (rxPosition == 1) {
        // A repeated start byte is not a new start: the device never sends
        // two in a row, so it is treated as noise like any other byte here.
        if (b == deviceMark) {
            rxFrame[1] = deviceMark;
            rxEscape = 0;
            rxPosition = 2;
            record(b);
            return Taken::Pending;
        }
        rxPosition = 0;
        return drop(b, true, true);
    }
    if (b == frameStart) {
        // The partial frame is noise; this byte starts the next one.
        drop(b, true, false);
        rxFrame[0] = frameStart;
        rxPosition = 1;
        wireCount = 0;
        record(b);
        return Taken::Dropped;
    }
    record(b);
    if (b == frameEscape) {
        rxEscape = 0x20;
        return Taken::Pending;
    }
    rxFrame[rxPosition++] = b ^ rxEscape;
    rxEscape = 0;
    if (rxPosition < static_cast<int>(rxFrame.size()))
        return Taken::Pending;
    rxPosition = 0;
    return Taken::Frame;
}
