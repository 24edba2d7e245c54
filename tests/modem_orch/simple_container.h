// Builds modem containers for the tests, with a bitwise checksum of its own
// so that the checksum is not computed by the code under test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace modem_orch_test {

using bytes = std::vector<uint8_t>;

// Reflected CRC-32 whose state starts at zero and is complemented at the end:
// "abc" gives 0x359A672F.
inline uint32_t reference_crc32(const uint8_t *p, size_t n)
{
    uint32_t crc = 0;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int b = 0; b < 8; b++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline void put_be(bytes *b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        (*b)[at + i] = (uint8_t)(v >> (24 - 8 * i));
}

// Writes the total size and the checksum (least significant byte first).
inline void set_size_and_crc(bytes *c, uint32_t size)
{
    put_be(c, 12, size);
    uint32_t crc = reference_crc32(c->data() + 16, size - 16);
    for (int i = 0; i < 4; i++)
        (*c)[8 + i] = (uint8_t)(crc >> (8 * i));
}

// Header, table (the INI first, then one entry per body) and bodies.
inline bytes build_container(const std::string &ini, const std::vector<bytes> &bodies,
                             uint32_t magic = 0x4D444F4D, uint32_t type = 0x05060708)
{
    bytes c(16 + 16 * (bodies.size() + 1), 0);
    put_be(&c, 0, magic);
    put_be(&c, 4, (uint32_t)(bodies.size() + 1));
    put_be(&c, 28, (uint32_t)ini.size());
    c.insert(c.end(), ini.begin(), ini.end());
    for (size_t i = 0; i < bodies.size(); i++) {
        put_be(&c, 16 * (i + 2), type);
        put_be(&c, 16 * (i + 2) + 12, (uint32_t)bodies[i].size());
        c.insert(c.end(), bodies[i].begin(), bodies[i].end());
    }
    set_size_and_crc(&c, (uint32_t)c.size());
    return c;
}

}  // namespace modem_orch_test
