// CRC-32 of the upgrade library: the reflected IEEE 802.3 polynomial, used to
// check the modem container that travels inside the upgrade package.
//
// The buffer routine takes 16 bytes per step with sixteen 256-entry tables
// ("slicing by 16"): table k holds the CRC of a byte followed by k zero
// bytes, so the sixteen lookups of one step do not wait on each other. What
// is left is the chain from one step's state to the next; to hide it, a
// 512-byte block is split into two halves whose states run side by side, the
// second from zero, and the first half's state is then carried over the
// second half's length with one more table (the CRC is linear in the state).
// Bytes are picked one by one and words assembled least significant byte
// first, so the result depends neither on the processor's byte order nor on
// the buffer's alignment; the router's ARM core has no CRC instructions, so
// this stays plain C++.
#include <array>
#include <cstdio>

#include "up_api.h"
#include "up_fd.h"

namespace {

constexpr uint32_t CRC32_POLY = 0xEDB88320u;
constexpr int CRC_SLICES = 16;
constexpr size_t CRC_HALF_BLOCK = 256;  // bytes per state of a two-state block

using crc_table_t = std::array<uint32_t, 256>;
using crc_tables_t = std::array<crc_table_t, CRC_SLICES>;

constexpr crc_tables_t make_crc_tables()
{
    crc_tables_t t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1u) ? (c >> 1) ^ CRC32_POLY : c >> 1;
        t[0][i] = c;
    }
    for (int s = 1; s < CRC_SLICES; ++s)
        for (uint32_t i = 0; i < 256; ++i)
            t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFFu];
    return t;
}

constexpr crc_tables_t crc_tables = make_crc_tables();
static_assert(crc_tables[0][1] == 0x77073096u, "table of the reflected IEEE polynomial");
static_assert(crc_tables[0][255] == 0x2D02EF8Du, "table of the reflected IEEE polynomial");

// Four tables that carry a state over CRC_HALF_BLOCK zero bytes, one per byte
// of the state: built from the 32 single-bit states, as the carry is linear.
constexpr std::array<crc_table_t, 4> make_carry_tables()
{
    std::array<uint32_t, 32> bit{};
    for (int i = 0; i < 32; ++i) {
        uint32_t s = 1u << i;
        for (size_t z = 0; z < CRC_HALF_BLOCK; ++z)
            s = (s >> 8) ^ crc_tables[0][s & 0xFFu];
        bit[i] = s;
    }
    std::array<crc_table_t, 4> t{};
    for (int byte = 0; byte < 4; ++byte)
        for (uint32_t v = 0; v < 256; ++v) {
            uint32_t s = 0;
            for (int k = 0; k < 8; ++k)
                if (v & (1u << k))
                    s ^= bit[8 * byte + k];
            t[byte][v] = s;
        }
    return t;
}

constexpr std::array<crc_table_t, 4> carry_tables = make_carry_tables();

inline uint32_t get_le32_at(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

inline uint32_t crc_byte(uint32_t state, uint8_t b)
{
    return (state >> 8) ^ crc_tables[0][(state ^ b) & 0xFFu];
}

// One 16-byte step: the running state is folded into the first word.
inline uint32_t crc_16_bytes(uint32_t state, const uint8_t *p)
{
    const auto &t = crc_tables;
    uint32_t w = state ^ get_le32_at(p);
    return t[15][w & 0xFFu] ^ t[14][(w >> 8) & 0xFFu] ^ t[13][(w >> 16) & 0xFFu] ^
           t[12][w >> 24] ^ t[11][p[4]] ^ t[10][p[5]] ^ t[9][p[6]] ^ t[8][p[7]] ^
           t[7][p[8]] ^ t[6][p[9]] ^ t[5][p[10]] ^ t[4][p[11]] ^ t[3][p[12]] ^
           t[2][p[13]] ^ t[1][p[14]] ^ t[0][p[15]];
}

// The state after 2 * CRC_HALF_BLOCK bytes.
inline uint32_t crc_two_halves(uint32_t state, const uint8_t *p)
{
    const uint8_t *q = p + CRC_HALF_BLOCK;
    uint32_t second = 0;
    for (size_t i = 0; i < CRC_HALF_BLOCK; i += 16) {
        state = crc_16_bytes(state, p + i);
        second = crc_16_bytes(second, q + i);
    }
    return carry_tables[0][state & 0xFFu] ^ carry_tables[1][(state >> 8) & 0xFFu] ^
           carry_tables[2][(state >> 16) & 0xFFu] ^ carry_tables[3][state >> 24] ^ second;
}

} // namespace

uint32_t Crc32_ComputeBuf(uint32_t inCrc32, const void *buf, uint32_t bufLen)
{
    const uint8_t *p = static_cast<const uint8_t *>(buf);
    if (p == nullptr)
        return inCrc32;
    uint32_t state = ~inCrc32;
    size_t left = bufLen;
    for (; left >= 2 * CRC_HALF_BLOCK; left -= 2 * CRC_HALF_BLOCK, p += 2 * CRC_HALF_BLOCK)
        state = crc_two_halves(state, p);
    for (; left >= 16; left -= 16, p += 16)
        state = crc_16_bytes(state, p);
    for (; left > 0; --left)
        state = crc_byte(state, *p++);
    return ~state;
}
