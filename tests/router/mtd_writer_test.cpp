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

// Re-executes with the emulation preloaded: the emulation learns its devices
// once, at the first descriptor it sees, so the images must exist by then.
int main(int argc, char **argv)
{
    if (getenv("ROUTER_MTD_TEST_DIR") == nullptr) {
        scratch_dir scratch;
        const std::string &dir = scratch.path;
        write_bytes(dir + "/mtd.img", std::vector<uint8_t>(k_part_size, 0xFF));
        write_bytes(dir + "/faults.log", {});
        setenv("ROUTER_MTD_TEST_DIR", dir.c_str(), 1);
        return rerun_under_flashemu(argv, UP_LIB_DIR "/libflashemu.so", dir + "/mtd.img",
                                    dir + "/faults.log");
    }
    static std::string dev = std::string(getenv("ROUTER_MTD_TEST_DIR")) + "/mtd.img";
    static std::string faults = std::string(getenv("ROUTER_MTD_TEST_DIR")) + "/faults.log";
    g_dev_path = dev.c_str();
    g_fault_log = faults.c_str();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
