#ifndef CRCTABLE_H
#define CRCTABLE_H

#include <array>
#include <cstdint>

// CRC-16 with polynomial 0x1021, MSB first, as the device checks it.
constexpr std::array<std::uint16_t, 256> makeCrcTable()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        table[i] = static_cast<std::uint16_t>(crc & 0xFFFF);
    }
    return table;
}

inline constexpr std::array<std::uint16_t, 256> crcTable = makeCrcTable();

static_assert(crcTable[1] == 0x1021 && crcTable[2] == 0x2042);
static_assert(crcTable[128] == 0x9188 && crcTable[255] == 0x1EF0);

#endif
