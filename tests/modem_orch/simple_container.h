// Builds modem containers for the tests, with a bitwise CRC-32 of its own so
// that the checksum is not computed by the code under test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace modem_orch_test {

using bytes = std::vector<uint8_t>;

struct entry {
    uint32_t type;
    bytes body;
};

// The container checksum: reflected CRC-32 whose state starts at zero (not
// at all ones) and is complemented at the end; "abc" gives 0x359A672F.
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
    (*b)[at] = (uint8_t)(v >> 24);
    (*b)[at + 1] = (uint8_t)(v >> 16);
    (*b)[at + 2] = (uint8_t)(v >> 8);
    (*b)[at + 3] = (uint8_t)v;
}

// Writes the total size and the checksum of what follows the header.
inline void set_size_and_crc(bytes *c, uint32_t size)
{
    put_be(c, 12, size);
    uint32_t crc = reference_crc32(c->data() + 16, size - 16);
    for (int i = 0; i < 4; i++)
        (*c)[8 + i] = (uint8_t)(crc >> (8 * i));
}

// Header, table (the INI first, then the entries) and bodies.
inline bytes build_container(const std::string &ini, const std::vector<entry> &entries,
                             uint32_t magic = 0x4D444F4D)
{
    size_t n = entries.size() + 1;
    bytes c(16 + 16 * n, 0);
    put_be(&c, 0, magic);
    put_be(&c, 4, (uint32_t)n);
    put_be(&c, 16 + 12, (uint32_t)ini.size());
    c.insert(c.end(), ini.begin(), ini.end());
    for (size_t i = 0; i < entries.size(); i++) {
        put_be(&c, 16 + 16 * (i + 1), entries[i].type);
        put_be(&c, 16 + 16 * (i + 1) + 12, (uint32_t)entries[i].body.size());
        c.insert(c.end(), entries[i].body.begin(), entries[i].body.end());
    }
    set_size_and_crc(&c, (uint32_t)c.size());
    return c;
}

}  // namespace modem_orch_test
