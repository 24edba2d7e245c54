#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "test_files.h"
#include "up_api.h"
#include "up_package_io.h"

TEST(Crc32, BufferCheckValues)
{
    struct { std::string data; uint32_t crc; } cases[] = {
        {"", 0x00000000u},
        {"abc", 0x352441C2u},
        {"123456789", 0xCBF43926u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
    };
    for (auto &c : cases)
        EXPECT_EQ(Crc32_ComputeBuf(0, c.data.data(), (uint32_t)c.data.size()), c.crc) << c.data;
}

TEST(Crc32, ContinuesOverPieces)
{
    const char *text = "123456789";
    for (uint32_t cut = 0; cut <= 9; ++cut) {
        uint32_t part = Crc32_ComputeBuf(0, text, cut);
        EXPECT_EQ(Crc32_ComputeBuf(part, text + cut, 9 - cut), 0xCBF43926u) << cut;
    }
}

TEST(Crc32, PackageRangeStartsFromZeroState)
{
    auto fd = file_with({'a', 'b', 'c'});
    uint32_t crc = 0;
    ASSERT_EQ(up_package_crc32(fd.get(), 0, 3, &crc), 0);
    EXPECT_EQ(crc, 0x359A672Fu);
}

TEST(Crc32, PackageRangeSpansChunksLikeOneBuffer)
{
    std::vector<uint8_t> data(8192 * 3 + 77);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (uint8_t)(i * 131 + 7);
    auto fd = file_with(data);
    uint32_t crc = 0;
    ASSERT_EQ(up_package_crc32(fd.get(), 0, data.size(), &crc), 0);
    EXPECT_EQ(crc, Crc32_ComputeBuf(0xFFFFFFFFu, data.data(), (uint32_t)data.size()));
    // Only the len bytes at the offset count; the file position plays no part.
    lseek(fd.get(), 5000, SEEK_SET);
    ASSERT_EQ(up_package_crc32(fd.get(), 100, 9000, &crc), 0);
    EXPECT_EQ(crc, Crc32_ComputeBuf(0xFFFFFFFFu, data.data() + 100, 9000));
    EXPECT_EQ(lseek(fd.get(), 0, SEEK_CUR), 5000);
}

TEST(Crc32, PackageRangePastTheEndOrUnreadableFails)
{
    auto fd = file_with({'a', 'b', 'c'});
    uint32_t crc = 7;
    EXPECT_EQ(up_package_crc32(fd.get(), 0, 4, &crc), -1);
    EXPECT_EQ(up_package_crc32(fd.get(), 1ull << 32, 1, &crc), -1);
    EXPECT_EQ(up_package_crc32(-1, 0, 1, &crc), -1);
    EXPECT_EQ(crc, 7u) << "a failed sum leaves the result alone";
    // A pipe has no offsets to read at.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "abc", 3), 3);
    close(p[1]);
    EXPECT_EQ(up_package_crc32(p[0], 0, 3, &crc), -1);
    close(p[0]);
}

namespace {

// The CRC one bit at a time, straight from the reflected polynomial: the
// reference the table-driven routine must agree with. Works on the raw state
// (no complement on entry or exit).
uint32_t crc_state_bitwise(uint32_t state, const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        state ^= p[i];
        for (int k = 0; k < 8; ++k)
            state = (state & 1u) ? (state >> 1) ^ 0xEDB88320u : state >> 1;
    }
    return state;
}

// xorshift32 bytes: the same sequence the literal check values below were
// taken from.
std::vector<uint8_t> pseudo_random_bytes(uint32_t seed, size_t n)
{
    std::vector<uint8_t> out(n);
    uint32_t x = seed;
    for (auto &b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = (uint8_t)x;
    }
    return out;
}

} // namespace

TEST(Crc32, RandomBuffersMatchLiteralCheckValues)
{
    const auto data = pseudo_random_bytes(0x2545F491u, 4096 + 16);
    struct { size_t offset, len; uint32_t crc; } cases[] = {
        {0, 1, 0x140E363Fu},    {0, 15, 0x1F121491u},   {0, 16, 0x3DC8EDB3u},
        {0, 17, 0xB0E23ABFu},   {0, 31, 0x83462421u},   {0, 4095, 0xCEE0C1C0u},
        {0, 4096, 0x7E70F60Cu}, {3, 4093, 0x0C7C3A1Cu},
    };
    for (auto &c : cases)
        EXPECT_EQ(Crc32_ComputeBuf(0, data.data() + c.offset, (uint32_t)c.len), c.crc)
            << "offset " << c.offset << " length " << c.len;
}

TEST(Crc32, MatchesBitwiseReferenceAtEveryLengthAndAlignment)
{
    const auto data = pseudo_random_bytes(0x2545F491u, 4096 + 16);
    // Each start address 0..15 bytes past the vector's (aligned) start, each
    // length 0..4096; the reference runs along one byte at a time.
    int mismatches = 0;
    for (size_t align = 0; align < 16; ++align) {
        const uint8_t *p = data.data() + align;
        uint32_t state = 0xFFFFFFFFu;
        for (size_t len = 0; len <= 4096; ++len) {
            if (len > 0)
                state = crc_state_bitwise(state, p + len - 1, 1);
            uint32_t got = Crc32_ComputeBuf(0, p, (uint32_t)len);
            if (got != ~state && mismatches++ < 5)
                ADD_FAILURE() << "alignment " << align << " length " << len << ": " << std::hex
                              << got << " instead of " << ~state;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST(Crc32, LargeBufferWholeAndInPieces)
{
    const auto data = pseudo_random_bytes(0x2545F491u, (4u << 20) + 13);
    const uint32_t n = (uint32_t)data.size();
    EXPECT_EQ(Crc32_ComputeBuf(0, data.data(), n), 0x4F266D1Du);
    EXPECT_EQ(Crc32_ComputeBuf(0, data.data(), n), ~crc_state_bitwise(0xFFFFFFFFu, data.data(), n));
    // Continued over pieces of odd sizes, as the file CRC does with its chunks.
    uint32_t crc = 0;
    for (uint32_t at = 0, piece = 1; at < n; at += piece, piece = piece * 3 + 7) {
        uint32_t len = piece < n - at ? piece : n - at;
        crc = Crc32_ComputeBuf(crc, data.data() + at, len);
    }
    EXPECT_EQ(crc, 0x4F266D1Du);
    // The file convention (running value 0xFFFFFFFF, so the state starts at 0).
    EXPECT_EQ(Crc32_ComputeBuf(0xFFFFFFFFu, data.data(), n), ~crc_state_bitwise(0, data.data(), n));
}
