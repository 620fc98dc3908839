#ifndef CRC16BITS_H
#define CRC16BITS_H

// CRC-16/XMODEM bit by bit, for the programs that play the other end of the
// line: deliberately not the updater's table, so that the two check each other.
inline unsigned crc16Bits(const unsigned char *data, int length)
{
    unsigned crc = 0;
    for (int i = 0; i < length; ++i) {
        crc ^= unsigned(data[i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) & 0xFFFF : (crc << 1) & 0xFFFF;
    }
    return crc;
}

#endif
