#include <cerrno>
#include <gtest/gtest.h>

#include "test_files.h"
#include "up_api.h"

TEST(MtdErase, LengthRules)
{
    // errno shows whether an ioctl was tried: a length refused by the rule
    // must fail before the device is asked anything.
    struct { uint32_t length; bool ioctl_tried; } cases[] = {
        {0x30000, false},
        {0x1000, false},
        {0x20001, false},
        {0x1FFFF, false},
        {0, true},
        {0x20000, true},
        {0x40000, true},
    };
    auto fd = file_with(std::vector<uint8_t>(0x40000, 0xFF));
    for (auto &c : cases) {
        errno = 0;
        // A regular file is no MTD device: MEMGETINFO fails with ENOTTY
        // (ENOSYS under qemu-arm, which refuses ioctls it does not translate).
        EXPECT_EQ(up_mtd_erase(fd.get(), 0, c.length), -1) << std::hex << c.length;
        EXPECT_EQ(errno == ENOTTY || errno == ENOSYS, c.ioctl_tried) << std::hex << c.length;
    }
    EXPECT_EQ(file_bytes(fd.get()), std::vector<uint8_t>(0x40000, 0xFF));
}
