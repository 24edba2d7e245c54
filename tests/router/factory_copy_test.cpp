// The factory-data copy made before the package partition is erased.
#include <gtest/gtest.h>

#include <fcntl.h>

#include "test_files.h"
#include "up_complete.h"

TEST(FactoryCopy, CopiesExactlyTheFirstBlock)
{
    scratch_dir dir;
    std::vector<uint8_t> part = pattern(0x20000 + 4096, 3);
    write_bytes(dir / "mtd1", part);
    write_bytes(dir / "copy", std::vector<uint8_t>(0x30000, 0x11));   // older, longer copy
    unique_fd src(open((dir / "mtd1").c_str(), O_RDONLY));
    unique_fd dst(open((dir / "copy").c_str(), O_RDWR));
    ASSERT_EQ(up_copy_factory_data(src.get(), dst.get(), UP_FACTORY_COPY_LEN), 0);
    std::vector<uint8_t> copy = read_bytes(dir / "copy");
    ASSERT_EQ(copy.size(), 0x30000u);   // not truncated
    EXPECT_TRUE(std::equal(part.begin(), part.begin() + 0x20000, copy.begin()));
    EXPECT_EQ(copy[0x20000], 0x11);
}

TEST(FactoryCopy, ASourceThatEndsEarlyFailsInsteadOfLooping)
{
    struct { size_t have; } cases[] = {{0}, {1}, {0x1FFFF}};
    for (auto &c : cases) {
        scratch_dir dir;
        write_bytes(dir / "mtd1", pattern(c.have, 1));
        unique_fd src(open((dir / "mtd1").c_str(), O_RDONLY));
        unique_fd dst(open((dir / "copy").c_str(), O_RDWR | O_CREAT, 0644));
        EXPECT_EQ(up_copy_factory_data(src.get(), dst.get(), UP_FACTORY_COPY_LEN), -1) << c.have;
    }
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "abc", 3), 3);
    close(p[1]);
    scratch_dir dir;
    unique_fd rd(p[0]);
    unique_fd dst(open((dir / "copy").c_str(), O_RDWR | O_CREAT, 0644));
    EXPECT_EQ(up_copy_factory_data(rd.get(), dst.get(), UP_FACTORY_COPY_LEN), -1);
}

TEST(FactoryCopy, AFailingWriteFails)
{
    scratch_dir dir;
    write_bytes(dir / "mtd1", pattern(0x20000, 1));
    unique_fd src(open((dir / "mtd1").c_str(), O_RDONLY));
    unique_fd dst(open((dir / "mtd1").c_str(), O_RDONLY));   // not writable
    EXPECT_EQ(up_copy_factory_data(src.get(), dst.get(), UP_FACTORY_COPY_LEN), -1);
}
