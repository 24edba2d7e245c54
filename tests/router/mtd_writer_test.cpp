// The direct writer against emulated NAND: this program re-executes itself
// with the flash emulation preloaded and its image files named.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <string>

#include "flashemu_rerun.h"
#include "package_builder.h"
#include "test_files.h"
#include "up_partition.h"

namespace {

constexpr size_t k_part_size = 8 * 0x20000;   // a 1 MiB partition
const char *g_dev_path;
const char *g_bad_dev_path;      // the same size, erase block 1 a factory bad block
const char *g_fault_log;

// The partition holds an old image: every byte that the writer does not
// rewrite must come out erased.
// Written through the emulation, so erased first as real NAND would need.
void fill_old_image()
{
    unique_fd dev(open(g_dev_path, O_RDWR));
    erase_info_user all{0, (uint32_t)k_part_size};
    std::vector<uint8_t> old = pattern(k_part_size, 0x5A);
    if (!dev.ok() || ioctl(dev.get(), MEMERASE, &all) != 0 ||
        write_full(dev.get(), old.data(), old.size()) != (ssize_t)old.size())
        abort();
}

flash_partition_tab_t row_of_len(uint32_t len)
{
    flash_partition_tab_t row{};
    row.i_sub_module_id = 2;
    row.i_len = len;
    snprintf(row.ac_partition_name, sizeof row.ac_partition_name, "%s", g_dev_path);
    return row;
}

struct write_result {
    int rc;
    std::vector<uint8_t> flash;
};

write_result write_record(const std::vector<uint8_t> &data, uint32_t row_len,
                          void (*spoil)(package_record_t &) = nullptr)
{
    scratch_dir dir;
    std::vector<package_record_t> descs;
    write_bytes(dir / "pkg", build_package({{PACKAGE_KERNEL, "zImage", data}}, &descs));
    if (spoil)
        spoil(descs[0]);
    fill_old_image();
    unique_fd pkg(open((dir / "pkg").c_str(), O_RDONLY));
    unique_fd dev(open(g_dev_path, O_RDWR));
    flash_partition_tab_t row = row_of_len(row_len);
    int rc = up_direct_write_to_mtd(pkg.get(), &descs[0], dev.get(), &row);
    return {rc, read_bytes(g_dev_path)};
}

} // namespace

TEST(DirectWriter, PartitionHoldsTheRecordThenErasedBytes)
{
    size_t sizes[] = {1, 2048, 0x20000 - 1, 0x20000, 0x20000 + 5, 3 * 0x20000 + 777, k_part_size};
    for (size_t len : sizes) {
        std::vector<uint8_t> data = pattern(len, (uint8_t)len);
        write_result r = write_record(data, k_part_size);
        ASSERT_EQ(r.rc, 0) << len;
        ASSERT_EQ(r.flash.size(), k_part_size);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), r.flash.begin())) << len;
        size_t first_bad = k_part_size;
        for (size_t i = len; i < k_part_size; ++i)
            if (r.flash[i] != 0xFF) { first_bad = i; break; }
        EXPECT_EQ(first_bad, k_part_size) << "stale byte after a record of " << len;
    }
    EXPECT_TRUE(read_bytes(g_fault_log).empty()) << "a write needed a 0 bit to become 1";
}

TEST(DirectWriter, ATableLongerThanTheDeviceIsCutToTheDevice)
{
    std::vector<uint8_t> data = pattern(0x20000 + 1, 9);
    write_result r = write_record(data, 0x2000000);   // table says 32 MiB, device has 1 MiB
    ASSERT_EQ(r.rc, 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), r.flash.begin()));
    EXPECT_EQ(r.flash.back(), 0xFF);
}

TEST(DirectWriter, RefusesBeforeTheEraseWhatItCouldNotWriteBack)
{
    struct { const char *what; size_t len; uint32_t row_len; void (*spoil)(package_record_t &); } cases[] = {
        {"empty record", 0, k_part_size, nullptr},
        {"record past the package end", 5000, k_part_size, [](package_record_t &r) { r.record_length += 1; }},
        {"offset past the package end", 5000, k_part_size, [](package_record_t &r) { r.record_offset = 1u << 30; }},
        {"offset + length wraps", 5000, k_part_size,
         [](package_record_t &r) { r.record_offset = 0xFFFFF000; r.record_length = 0x2000; }},
        {"device too small for the record", k_part_size + 1, 0x2000000, nullptr},
    };
    for (auto &c : cases) {
        write_result r = write_record(pattern(c.len, 1), c.row_len, c.spoil);
        EXPECT_EQ(r.rc, -1) << c.what;
        EXPECT_EQ(r.flash, pattern(k_part_size, 0x5A)) << c.what << ": flash changed";
    }
}

namespace {

// The partition with a bad block 1 holds an old image in its good blocks;
// the bad block reads as the zeros the test put there.
void fill_old_image_around_bad_block()
{
    unique_fd dev(open(g_bad_dev_path, O_RDWR));
    std::vector<uint8_t> old = pattern(0x20000, 0x5A);
    for (uint32_t at = 0; at < k_part_size; at += 0x20000) {
        if (at == 0x20000)
            continue;
        erase_info_user one{at, 0x20000};
        if (!dev.ok() || ioctl(dev.get(), MEMERASE, &one) != 0 ||
            pwrite(dev.get(), old.data(), old.size(), at) != (ssize_t)old.size())
            abort();
    }
}

write_result write_record_around_bad_block(const std::vector<uint8_t> &data)
{
    scratch_dir dir;
    std::vector<package_record_t> descs;
    write_bytes(dir / "pkg", build_package({{PACKAGE_KERNEL, "zImage", data}}, &descs));
    fill_old_image_around_bad_block();
    unique_fd pkg(open((dir / "pkg").c_str(), O_RDONLY));
    unique_fd dev(open(g_bad_dev_path, O_RDWR));
    flash_partition_tab_t row = row_of_len(k_part_size);
    int rc = up_direct_write_to_mtd(pkg.get(), &descs[0], dev.get(), &row);
    return {rc, read_bytes(g_bad_dev_path)};
}

std::vector<uint8_t> slice(const std::vector<uint8_t> &v, size_t off, size_t len)
{
    return std::vector<uint8_t>(v.begin() + (long)off, v.begin() + (long)(off + len));
}

} // namespace

TEST(DirectWriter, StepsOverABadBlockLikeNandwrite)
{
    // Three blocks and a bit: blocks 0, 2, 3 and 4 of the partition take them.
    std::vector<uint8_t> data = pattern(3 * 0x20000 + 777, 0x31);
    write_result r = write_record_around_bad_block(data);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(slice(r.flash, 0, 0x20000), slice(data, 0, 0x20000));
    EXPECT_EQ(slice(r.flash, 0x20000, 0x20000), std::vector<uint8_t>(0x20000, 0x00)) << "bad block touched";
    EXPECT_EQ(slice(r.flash, 0x40000, 2 * 0x20000 + 777), slice(data, 0x20000, 2 * 0x20000 + 777));
    EXPECT_EQ(slice(r.flash, 0x80000 + 777, 0x20000 - 777), std::vector<uint8_t>(0x20000 - 777, 0xFF));
    EXPECT_EQ(slice(r.flash, 0xA0000, 3 * 0x20000), std::vector<uint8_t>(3 * 0x20000, 0xFF));
    EXPECT_TRUE(read_bytes(g_fault_log).empty()) << "a write needed a 0 bit to become 1";
}

TEST(DirectWriter, ARecordThatFitsOnlyWithoutTheBadBlockIsRefusedBeforeTheErase)
{
    // Eight blocks, one bad: seven blocks fit, one byte more does not.
    std::vector<uint8_t> before;
    write_result fits = write_record_around_bad_block(pattern(7 * 0x20000, 0x44));
    EXPECT_EQ(fits.rc, 0);
    fill_old_image_around_bad_block();
    before = read_bytes(g_bad_dev_path);
    write_result r = write_record_around_bad_block(pattern(7 * 0x20000 + 1, 0x45));
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.flash, before) << "flash changed";
}

// Re-executes with the emulation preloaded: the emulation learns its devices
// once, at the first descriptor it sees, so the images must exist by then.
int main(int argc, char **argv)
{
    if (getenv("ROUTER_MTD_TEST_DIR") == nullptr) {
        scratch_dir scratch;
        const std::string &dir = scratch.path;
        write_bytes(dir + "/mtd.img", std::vector<uint8_t>(k_part_size, 0xFF));
        std::vector<uint8_t> with_bad(k_part_size, 0xFF);
        std::fill(with_bad.begin() + 0x20000, with_bad.begin() + 0x40000, 0x00);
        write_bytes(dir + "/mtd_bad.img", with_bad);
        write_bytes(dir + "/faults.log", {});
        std::string table = dir + "/mtd_bad.img 1\n";
        write_bytes(dir + "/badblocks", std::vector<uint8_t>(table.begin(), table.end()));
        setenv("ROUTER_MTD_TEST_DIR", dir.c_str(), 1);
        setenv("FLASHEMU_BADBLOCKS", (dir + "/badblocks").c_str(), 1);
        return rerun_under_flashemu(argv, UP_LIB_DIR "/libflashemu.so",
                                    dir + "/mtd.img:" + dir + "/mtd_bad.img", dir + "/faults.log");
    }
    static std::string dev = std::string(getenv("ROUTER_MTD_TEST_DIR")) + "/mtd.img";
    static std::string bad_dev = std::string(getenv("ROUTER_MTD_TEST_DIR")) + "/mtd_bad.img";
    g_bad_dev_path = bad_dev.c_str();
    static std::string faults = std::string(getenv("ROUTER_MTD_TEST_DIR")) + "/faults.log";
    g_dev_path = dev.c_str();
    g_fault_log = faults.c_str();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
