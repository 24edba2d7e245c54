#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "test_files.h"
#include "up_api.h"

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

TEST(Crc32, FileStartsFromZeroState)
{
    auto fd = file_with({'a', 'b', 'c'});
    EXPECT_EQ(Crc32_ComputeFile(fd.get(), 3), 0x359A672Fu);
}

TEST(Crc32, FileSpansChunksLikeOneBuffer)
{
    std::vector<uint8_t> data(8192 * 3 + 77);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (uint8_t)(i * 131 + 7);
    auto fd = file_with(data);
    EXPECT_EQ(Crc32_ComputeFile(fd.get(), (uint32_t)data.size()),
              Crc32_ComputeBuf(0xFFFFFFFFu, data.data(), (uint32_t)data.size()));
    // Only the next len bytes count, from the current position.
    lseek(fd.get(), 100, SEEK_SET);
    EXPECT_EQ(Crc32_ComputeFile(fd.get(), 9000), Crc32_ComputeBuf(0xFFFFFFFFu, data.data() + 100, 9000));
}

TEST(Crc32, FileStopsAtEndOfInputOrError)
{
    // A length past the end must neither hang nor read past what is there.
    auto fd = file_with({'a', 'b', 'c'});
    EXPECT_EQ(Crc32_ComputeFile(fd.get(), 1u << 30), 0x359A672Fu);
    // A descriptor that cannot be read ends at once with the initial value.
    EXPECT_EQ(Crc32_ComputeFile(-1, 100), 0xFFFFFFFFu);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "abc", 3), 3);
    close(p[1]);
    EXPECT_EQ(Crc32_ComputeFile(p[0], 100000), 0x359A672Fu);
    close(p[0]);
}
