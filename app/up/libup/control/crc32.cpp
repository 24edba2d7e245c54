// CRC-32 of the upgrade library: the reflected IEEE 802.3 polynomial, used to
// check the modem container that travels inside the upgrade package.
#include <array>
#include <cstdio>

#include "up_api.h"
#include "up_fd.h"

namespace {

constexpr uint32_t CRC32_POLY = 0xEDB88320u;
constexpr size_t CRC_FILE_CHUNK = 8192;

constexpr std::array<uint32_t, 256> make_crc_table()
{
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1u) ? (c >> 1) ^ CRC32_POLY : c >> 1;
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint32_t, 256> crc_table = make_crc_table();

} // namespace

uint32_t Crc32_ComputeBuf(uint32_t inCrc32, const void *buf, uint32_t bufLen)
{
    const uint8_t *p = static_cast<const uint8_t *>(buf);
    uint32_t crc = ~inCrc32;
    if (p == nullptr)
        return inCrc32;
    for (uint32_t i = 0; i < bufLen; ++i)
        crc = (crc >> 8) ^ crc_table[(p[i] ^ crc) & 0xFFu];
    return ~crc;
}

// The running value starts at 0xFFFFFFFF, so the state starts at zero: the
// modem container's stored checksum was made that way, and the comparison
// must follow it rather than the standard CRC-32.
uint32_t Crc32_ComputeFile(int fd, uint32_t len)
{
    std::array<uint8_t, CRC_FILE_CHUNK> buf;
    uint32_t crc = 0xFFFFFFFFu;
    uint32_t total = 0;
    uint32_t left = len;
    while (left > 0) {
        buf.fill(0);
        size_t want = left < buf.size() ? left : buf.size();
        ssize_t n = read_full(fd, buf.data(), want);
        // A short file or a failing device ends the sum here: the result
        // then cannot match the stored checksum, which is what the caller needs.
        if (n <= 0)
            break;
        total += (uint32_t)n;
        crc = Crc32_ComputeBuf(crc, buf.data(), (uint32_t)n);
        left -= (uint32_t)n;
        if ((size_t)n < want)
            break;
    }
    printf("read len =%u----crc = %4x\n", (unsigned)total, (unsigned)crc);
    return crc;
}
