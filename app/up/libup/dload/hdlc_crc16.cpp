// Table-driven CRC-16 of the diagnostic-port framing.
#include "hdlc_crc16.h"

namespace {

constexpr uint16_t CRC_16_L_POLYNOMIAL = 0x8408;   // 0x1021 bit-reversed

struct crc_table_holder {
    uint16_t v[256];
};

constexpr crc_table_holder make_table()
{
    crc_table_holder t{};
    for (unsigned i = 0; i < 256; i++) {
        uint16_t c = (uint16_t)i;
        for (int bit = 0; bit < 8; bit++)
            c = (uint16_t)((c & 1) ? (c >> 1) ^ CRC_16_L_POLYNOMIAL : c >> 1);
        t.v[i] = c;
    }
    return t;
}

constexpr crc_table_holder k_table = make_table();
static_assert(k_table.v[1] == 0x1189, "reflected CCITT table");
static_assert(k_table.v[255] == 0x0F78, "reflected CCITT table");

} // namespace

const uint16_t crc_16_l_table[256] = {
#define R(i) k_table.v[i], k_table.v[i + 1], k_table.v[i + 2], k_table.v[i + 3], \
             k_table.v[i + 4], k_table.v[i + 5], k_table.v[i + 6], k_table.v[i + 7]
    R(0), R(8), R(16), R(24), R(32), R(40), R(48), R(56),
    R(64), R(72), R(80), R(88), R(96), R(104), R(112), R(120),
    R(128), R(136), R(144), R(152), R(160), R(168), R(176), R(184),
    R(192), R(200), R(208), R(216), R(224), R(232), R(240), R(248),
#undef R
};

uint16_t crc_16_l_update(uint16_t crc, const uint8_t *buf, size_t len)
{
    for (size_t i = 0; i < len; i++)
        crc = crc_16_l_step(crc, buf[i]);
    return crc;
}

uint16_t crc_16_l_calc(const uint8_t *buf, size_t len)
{
    return (uint16_t)~crc_16_l_update(CRC_16_L_SEED, buf, len);
}
