// The package reader on an emulated package partition with factory bad
// blocks: the flash emulation is preloaded into this program (see main), so
// the image below answers the MTD ioctls and reports its bad blocks.
//
// The partition has six 128 KiB blocks; blocks 1 and 3 are bad. A package
// written as nandwrite does lies in blocks 0, 2, 4 and 5: package offset
// 0x20000 is device offset 0x40000, 0x40000 is 0x80000, and the package
// can hold 0x80000 bytes.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "flashemu_rerun.h"
#include "up_api.h"
#include "up_fd.h"
#include "up_package_digest.h"
#include "up_package_io.h"

namespace {

constexpr size_t k_image_size = 6 * 0x20000;

std::string g_dir;

std::string path_of(const char *name)
{
    return g_dir + "/" + name;
}

// Every byte tells its device offset apart from its neighbours' and from
// the same place in other blocks.
uint8_t device_byte(size_t at)
{
    return (uint8_t)(at * 7 + at / 0x20000 * 61);
}

std::vector<uint8_t> device_bytes(size_t at, size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = device_byte(at + i);
    return v;
}

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct package_partition {
    unique_fd fd{open(path_of("mtd6.img").c_str(), O_RDONLY)};
    package_partition() { up_package_forget(); }
    std::vector<uint8_t> read(uint64_t off, size_t n, ssize_t *rc = nullptr)
    {
        std::vector<uint8_t> out(n, 0xA5);
        ssize_t got = up_package_pread(fd.get(), off, out.data(), n);
        if (rc != nullptr)
            *rc = got;
        return out;
    }
};

} // namespace

TEST(PackageReaderOnFlash, OffsetsStepOverTheBadBlocks)
{
    package_partition p;
    ASSERT_TRUE(p.fd.ok());
    uint64_t capacity = 0;
    ASSERT_EQ(up_package_capacity(p.fd.get(), &capacity), 0);
    EXPECT_EQ(capacity, 0x80000u);

    // Starts in block 0 and goes on in block 2.
    ssize_t rc = 0;
    EXPECT_EQ(p.read(0x1FF9C, 300, &rc), cat(device_bytes(0x1FF9C, 100), device_bytes(0x40000, 200)));
    EXPECT_EQ(rc, 300);
    // Starts in block 2 and goes on over bad block 3 into block 4.
    EXPECT_EQ(p.read(0x3FFFF, 2, &rc), cat(device_bytes(0x5FFFF, 1), device_bytes(0x80000, 1)));
    EXPECT_EQ(rc, 2);
    // Block 4 and 5 follow each other with no bad block between.
    EXPECT_EQ(p.read(0x5FFF0, 0x20), device_bytes(0x9FFF0, 0x20));
    // The file position plays no part and is left alone.
    ASSERT_EQ(lseek(p.fd.get(), 777, SEEK_SET), 777);
    EXPECT_EQ(p.read(0x20000, 4), device_bytes(0x40000, 4));
    EXPECT_EQ(lseek(p.fd.get(), 0, SEEK_CUR), 777);
}

TEST(PackageReaderOnFlash, ReadsEndingOrStartingAtABlockBoundaryStayInTheirBlock)
{
    package_partition p;
    ssize_t rc = 0;
    // Ends exactly where package block 1 (device block 2) ends.
    EXPECT_EQ(p.read(0x40000 - 16, 16, &rc), device_bytes(0x60000 - 16, 16));
    EXPECT_EQ(rc, 16);
    // A whole package block, and the one after a bad block.
    EXPECT_EQ(p.read(0x20000, 0x20000), device_bytes(0x40000, 0x20000));
    EXPECT_EQ(p.read(0x40000, 0x20000), device_bytes(0x80000, 0x20000));
    // The last byte the package can hold.
    EXPECT_EQ(p.read(0x7FFFF, 1), device_bytes(0xBFFFF, 1));
}

TEST(PackageReaderOnFlash, ReadsPastThePackageAreRefused)
{
    package_partition p;
    ssize_t rc = 0;
    std::vector<uint8_t> untouched(11, 0xA5);
    EXPECT_EQ(p.read(0x80000 - 10, 11, &rc), untouched);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(p.read(0x80000, 1, &rc), std::vector<uint8_t>(1, 0xA5));
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(p.read(0xFFFFFFFFFFFFFFF0ull, 0x20, &rc), std::vector<uint8_t>(0x20, 0xA5));
    EXPECT_EQ(rc, -1) << "an offset and length that wrap round are refused";
    EXPECT_EQ(p.read(0x80000 - 10, 10, &rc), device_bytes(0xC0000 - 10, 10));
    EXPECT_EQ(rc, 10);
}

TEST(PackageReaderOnFlash, CrcOfARangeSeesThePackageBytesOnly)
{
    package_partition p;
    // 0x30000 bytes from package offset 0x10000: the second half of block 0,
    // all of block 2, the first half of block 4. Bad block 3 holds other
    // bytes that must not count.
    std::vector<uint8_t> want = cat(cat(device_bytes(0x10000, 0x10000), device_bytes(0x40000, 0x20000)),
                                    device_bytes(0x80000, 0x10000));
    uint32_t crc = 0;
    ASSERT_EQ(up_package_crc32(p.fd.get(), 0x10000, 0x40000, &crc), 0);
    EXPECT_EQ(crc, Crc32_ComputeBuf(0xFFFFFFFFu, want.data(), (uint32_t)want.size()));
    EXPECT_EQ(up_package_crc32(p.fd.get(), 0x10000, 0x70001, &crc), -1);
}

// The digest pass over the four package blocks (device blocks 0, 2, 4 and
// 5), then a page of the second one cleared through another descriptor, as
// another writer of the partition would: the changed block no longer reads,
// the others still do, and the CRC the pass computed needs no read. Expected
// hashes and CRCs were computed apart (Python's hashlib and zlib) from the
// device pattern.
TEST(PackageDigestsOnFlash, ReadsAfterThePassAreTheBytesThePassRead)
{
    package_partition p;
    const up_crc_range range{0x10000, 0x60000};
    std::array<uint8_t, UP_PACKAGE_HASH_SIZE> hash{};
    ASSERT_EQ(up_package_digest_pass(p.fd.get(), 0x80000, &range, 1, hash.data()), 0);
    EXPECT_EQ(up_package_digest_blocks_read(), 4u);
    const std::array<uint8_t, 8> hash_head = {0x59, 0x90, 0x18, 0x0a, 0x48, 0x56, 0x3f, 0x36};
    const std::array<uint8_t, 8> hash_tail = {0x33, 0x9d, 0xcd, 0x05, 0x82, 0x86, 0xe4, 0xa7};
    EXPECT_TRUE(std::equal(hash_head.begin(), hash_head.end(), hash.begin()));
    EXPECT_TRUE(std::equal(hash_tail.begin(), hash_tail.end(), hash.end() - 8));
    EXPECT_TRUE(up_package_digest_covers(p.fd.get(), 0x7FFFF, 1));
    EXPECT_FALSE(up_package_digest_covers(p.fd.get(), 0x7FFFF, 2));

    // Block 0 is still in hand from the pass; block 1 is read once.
    ssize_t rc = 0;
    EXPECT_EQ(p.read(0x1FF9C, 300, &rc), cat(device_bytes(0x1FF9C, 100), device_bytes(0x40000, 200)));
    EXPECT_EQ(rc, 300);
    EXPECT_EQ(p.read(0x30000, 16), device_bytes(0x50000, 16));
    EXPECT_EQ(p.read(0x10, 16), device_bytes(0x10, 16));
    EXPECT_EQ(up_package_digest_blocks_read(), 5u);
    uint32_t crc = 0xFFFFFFFFu;
    ASSERT_EQ(up_package_crc32(p.fd.get(), 0x10000, 0x60000, &crc), 0);
    EXPECT_EQ(crc, 0xDB1D0471u);
    EXPECT_EQ(up_package_digest_blocks_read(), 5u) << "the pass's CRC is used, nothing is read";

    {
        unique_fd writer(open(path_of("mtd6.img").c_str(), O_RDWR));
        std::vector<uint8_t> zeros(2048, 0);
        ASSERT_EQ(pwrite(writer.get(), zeros.data(), zeros.size(), 0x40000), 2048);
    }
    // Blocks 2 and 3 push block 1 out of hand.
    EXPECT_EQ(p.read(0x40000, 16), device_bytes(0x80000, 16));
    EXPECT_EQ(p.read(0x60000, 16), device_bytes(0xA0000, 16));
    std::vector<uint8_t> untouched(16, 0xA5);
    EXPECT_EQ(p.read(0x20010, 16, &rc), untouched);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(errno, EBADMSG);
    p.read(0x1FFF8, 16, &rc);
    EXPECT_EQ(rc, -1) << "a read that reaches into the changed block fails";
    EXPECT_EQ(p.read(0x100, 16), device_bytes(0x100, 16));
    crc = 0xFFFFFFFFu;
    EXPECT_EQ(up_package_crc32(p.fd.get(), 0x10000, 0x60000, &crc), 0);
    EXPECT_EQ(crc, 0xDB1D0471u) << "the CRC of the bytes the pass read";
    EXPECT_EQ(up_package_crc32(p.fd.get(), 0x20000, 0x100, &crc), -1);

    up_package_forget();
    EXPECT_EQ(p.read(0x20000, 4), std::vector<uint8_t>(4, 0x00)) << "without digests a read is a plain read";
}

TEST(PackageDigestsOnFlash, AnUnreadableBlockFailsThePassAndKeepsNothing)
{
    package_partition p;
    std::array<uint8_t, UP_PACKAGE_HASH_SIZE> hash{};
    EXPECT_EQ(up_package_digest_pass(p.fd.get(), 0x80001, nullptr, 0, hash.data()), -1);
    EXPECT_FALSE(up_package_digest_applies(p.fd.get()));
    // A package of no more than its first bytes.
    ASSERT_EQ(up_package_digest_pass(p.fd.get(), 100, nullptr, 0, hash.data()), 0);
    ssize_t rc = 0;
    EXPECT_EQ(p.read(0, 100, &rc), device_bytes(0, 100));
    EXPECT_EQ(p.read(96, 5, &rc), std::vector<uint8_t>(5, 0xA5));
    EXPECT_EQ(errno, ERANGE);
    up_package_forget();
}

int main(int argc, char **argv)
{
    const char *dir = getenv("PACKAGE_IO_TEST_DIR");
    if (dir == nullptr) {
        char tmpl[] = "/tmp/package_io_XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return 2;
        g_dir = tmpl;
        std::vector<uint8_t> image = device_bytes(0, k_image_size);
        {
            unique_fd fd(open(path_of("mtd6.img").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
            if (!fd.ok() || write_full(fd.get(), image.data(), image.size()) != (ssize_t)image.size())
                return 2;
            std::string bad = path_of("mtd6.img") + " 1\n" + path_of("mtd6.img") + " 3\n";
            unique_fd bb(open(path_of("bad_blocks").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
            if (!bb.ok() || write_full(bb.get(), bad.data(), bad.size()) != (ssize_t)bad.size())
                return 2;
        }
        setenv("PACKAGE_IO_TEST_DIR", tmpl, 1);
        setenv("FLASHEMU_BADBLOCKS", path_of("bad_blocks").c_str(), 1);
        int rc = rerun_under_flashemu(argv, UP_LIB_DIR "/libflashemu.so", path_of("mtd6.img"),
                                      path_of("faults.log"));
        for (const char *name : {"mtd6.img", "bad_blocks", "faults.log"})
            unlink(path_of(name).c_str());
        rmdir(tmpl);
        return rc;
    }
    g_dir = dir;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
