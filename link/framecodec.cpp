#include "framecodec.h"

#include "crctable.h"

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

bool Deframer::take(unsigned char b)
{
    if (rxPosition == 0) {
        if (b == frameStart) {
            rxFrame[0] = frameStart;
            rxPosition = 1;
        }
        return false;
    }
    if (rxPosition == 1) {
        // A repeated start byte is not a new start: the device never sends
        // two in a row, so it is treated as noise like any other byte here.
        if (b == deviceMark) {
            rxFrame[1] = deviceMark;
            rxEscape = 0;
            rxPosition = 2;
        } else {
            rxPosition = 0;
        }
        return false;
    }
    if (b == frameStart) {
        rxFrame[0] = frameStart;
        rxPosition = 1;
        return false;
    }
    if (b == frameEscape) {
        rxEscape = 0x20;
        return false;
    }
    rxFrame[rxPosition++] = b ^ rxEscape;
    rxEscape = 0;
    if (rxPosition < static_cast<int>(rxFrame.size()))
        return false;
    rxPosition = 0;
    return true;
}

Deframer &processDeframer()
{
    static Deframer deframer;
    return deframer;
}
