#include <cerrno>
#include <climits>
#include <gtest/gtest.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>

#include "test_files.h"
#include "up_api.h"
#include "up_bytes.h"
#include "up_state_io.h"

namespace {

std::vector<uint8_t> block_image(int32_t word, size_t size = 2 * UP_ERASE_BLOCK, off_t at = UP_ERASE_BLOCK)
{
    std::vector<uint8_t> img(size);
    for (size_t i = 0; i < img.size(); ++i)
        img[i] = (uint8_t)(i * 7 + 3);
    put_le32(img.data() + at, (uint32_t)word);
    return img;
}

} // namespace

TEST(StateWord, ReadsNativeLittleEndianWordAtTheBlock)
{
    {
        // qemu-arm answers the bad-block question on a plain file with ENOSYS
        // (an ioctl it does not translate) where a kernel says ENOTTY; the
        // kernel tier reads the state word on real MTD instead.
        auto probe = file_with(std::vector<uint8_t>(4, 0));
        long long offs = 0;
        if (ioctl(probe.get(), MEMGETBADBLOCK, &offs) < 0 && errno == ENOSYS)
            GTEST_SKIP() << "MTD ioctls are not passed through by this emulator";
    }
    struct { int32_t stored; } cases[] = {{0}, {60}, {256}, {257}, {-1}, {-2}, {INT_MAX}, {INT_MIN}};
    for (auto &c : cases) {
        auto fd = file_with(block_image(c.stored));
        int32_t v = 12345;
        ASSERT_EQ(up_state_read_at(fd.get(), UP_ERASE_BLOCK, &v), 0);
        EXPECT_EQ(v, c.stored);
    }
}

TEST(StateWord, ShortOrMissingDeviceIsAnErrorNotZero)
{
    auto fd = file_with(std::vector<uint8_t>(UP_ERASE_BLOCK + 2, 0));
    int32_t v = 5;
    EXPECT_EQ(up_state_read_at(fd.get(), UP_ERASE_BLOCK, &v), -1);
    EXPECT_EQ(up_state_read_at(fd.get(), 4 * UP_ERASE_BLOCK, &v), -1);
    EXPECT_EQ(up_state_read_at(-1, 0, &v), -1);
    EXPECT_EQ(up_state_read_at(fd.get(), 0, nullptr), -1);
}

TEST(StateWord, MeaningOfStoredWords)
{
    struct { int32_t word, meaning; } cases[] = {
        {0, 0}, {4, 4}, {60, 60}, {64, 64}, {256, 256},
        {257, 0}, {INT_MAX, 0},              // above the store's range: nothing installed
        {-1, -1},                            // erased: resolved by the modem check
        {-2, -2}, {INT_MIN, INT_MIN},        // other negatives pass through (get reports an error)
    };
    for (auto &c : cases)
        EXPECT_EQ(up_state_from_word(c.word), c.meaning) << c.word;
}

TEST(StateWord, OutOfRangeValuesAreRefusedBeforeAnyDeviceIsOpened)
{
    for (int v : {-1, 257, INT_MAX, INT_MIN})
        EXPECT_EQ(up_set_upgrade_status(v), -1) << v;
}

TEST(StateWord, FailedEraseLeavesTheBlockUntouched)
{
    // A regular file answers the erase ioctls with ENOTTY: the write must
    // stop there, before a single byte changes.
    auto img = block_image(7);
    auto fd = file_with(img);
    EXPECT_EQ(up_state_write_at(fd.get(), UP_ERASE_BLOCK, 60), -1);
    EXPECT_EQ(file_bytes(fd.get()), img);
}

TEST(StateWord, ShortBlockIsNotRewritten)
{
    auto img = block_image(7, UP_ERASE_BLOCK + 100, 0);
    auto fd = file_with(img);
    EXPECT_EQ(up_state_write_at(fd.get(), 0x10000, 60), -1);
    EXPECT_EQ(file_bytes(fd.get()), img);
}
