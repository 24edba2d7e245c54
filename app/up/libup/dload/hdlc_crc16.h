// Frame check sequence of the modem's asynchronous HDLC framing (16 bits,
// reflected 0x1021, preset 0xFFFF, result complemented).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t CRC_16_L_SEED = 0xFFFF;
// What the running (uncomplemented) CRC reads after a payload followed by
// its own two check bytes: the receiver's test for an intact frame.
constexpr uint16_t CRC_16_L_OK = 0xF0B8;

extern const uint16_t crc_16_l_table[256];

// One step of the running CRC, without the final complement.
inline uint16_t crc_16_l_step(uint16_t crc, uint8_t byte)
{
    return (uint16_t)((crc >> 8) ^ crc_16_l_table[(crc ^ byte) & 0xFF]);
}

// Running CRC over len bytes from seed, without the final complement.
uint16_t crc_16_l_update(uint16_t crc, const uint8_t *buf, size_t len);

// The check sequence of len payload bytes, as sent (complemented).
uint16_t crc_16_l_calc(const uint8_t *buf, size_t len);
