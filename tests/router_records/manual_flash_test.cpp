#include <fcntl.h>
#include <gtest/gtest.h>

#include "record_files.h"
#include "up_fd.h"
#include "up_manual_flash.h"

TEST(ManualFlash, RegionMustFitThePartitionInWholeBlocks)
{
    const uint32_t blk = 0x20000;
    struct { uint64_t part; uint32_t erase, start, length; int fits; } cases[] = {
        {0x80000, blk, 0x100000, 0x100000, -1},    // bootloader region on a 512 KiB mtd0
        {0x200000, blk, 0x100000, 0x100000, 0},    // on a 2 MiB partition it fits exactly
        {0x1FFFFF, blk, 0x100000, 0x100000, -1},
        {0x300000, blk, 0, 0x300000, 0},           // kernel region on the 3 MiB mtd2
        {0x2E0000, blk, 0, 0x300000, -1},
        {0x100000000ull, blk, 0xFFFE0000u, 0x40000, -1},   // must not wrap in 32 bits
        {0x300000, blk, 0x10000, 0x20000, -1},     // start inside a block
        {0x300000, blk, 0, 0x21000, -1},           // length not whole blocks
        {0x300000, blk, 0, 0, -1},
        {0x300000, 0, 0, 0x20000, -1},
    };
    for (auto &c : cases)
        EXPECT_EQ(up_manual_region_fits(c.part, c.erase, c.start, c.length), c.fits)
            << std::hex << c.part << " " << c.start << "+" << c.length;
}

namespace {

std::string partition_bytes(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)(i / 4096 + i);
    return s;
}

} // namespace

TEST(ManualFlash, DumpCopiesExactlyTheRegion)
{
    scratch_dir tmp;
    std::string part = partition_bytes(0x200000);
    write_text(tmp / "mtd", part);
    std::string dump = tmp / "dump.bin";
    write_text(dump, std::string(0x180000, 'x'));   // an earlier, longer dump
    up_manual_region_t r{0x100000, 0x100000, dump.c_str(), UP_MANUAL_UBOOT};
    unique_fd fd(open((tmp / "mtd").c_str(), O_RDWR));
    ASSERT_EQ(up_manual_dump(fd.get(), &r), 0);
    EXPECT_EQ(read_text(dump), part.substr(0x100000));
}

TEST(ManualFlash, RegionBeyondThePartitionIsRefusedUntouched)
{
    scratch_dir tmp;
    std::string part = partition_bytes(0x80000);
    write_text(tmp / "mtd", part);
    std::string file = tmp / "region.bin";
    up_manual_region_t r{0x100000, 0x100000, file.c_str(), UP_MANUAL_UBOOT};
    unique_fd fd(open((tmp / "mtd").c_str(), O_RDWR));
    EXPECT_EQ(up_manual_dump(fd.get(), &r), -1);
    EXPECT_FALSE(exists(file));
    EXPECT_EQ(up_manual_erase(fd.get(), &r), -1);
    write_text(file, "k");
    EXPECT_EQ(up_manual_write(fd.get(), &r), -1);
    EXPECT_EQ(read_text(tmp / "mtd"), part);
}

TEST(ManualFlash, FileLargerThanTheRegionIsRefusedBeforeTheErase)
{
    scratch_dir tmp;
    std::string part = partition_bytes(0x300000);
    write_text(tmp / "mtd", part);
    std::string file = tmp / "kernel.bin";
    write_text(file, std::string(0x300001, 'k'));
    up_manual_region_t r{0, 0x300000, file.c_str(), UP_MANUAL_KERNEL};
    unique_fd fd(open((tmp / "mtd").c_str(), O_RDWR));
    EXPECT_EQ(up_manual_write(fd.get(), &r), -1);
    EXPECT_EQ(read_text(tmp / "mtd"), part);
    r.file = (tmp / "missing.bin").c_str();
    EXPECT_EQ(up_manual_write(fd.get(), &r), -1);
}
