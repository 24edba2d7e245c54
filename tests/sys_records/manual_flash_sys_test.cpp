// imgrenew uboot / kernel / single-word manual commands in the simulated
// router: dump files, erased regions and written partitions.
#include <gtest/gtest.h>

#include "sys_router.h"

namespace {

using simharness::read_file;
using simharness::write_file;

constexpr uint64_t k_mib = 0x100000;

std::vector<uint8_t> bytes_of(const std::string &s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

} // namespace

TEST(SysManualFlash, BootloaderDumpAndEraseOnAPartitionThatHoldsTheRegion)
{
    records_router rr({"--mtd", "0=2M"});
    ASSERT_TRUE(rr.r.ok());
    std::vector<uint8_t> boot = pattern_bytes(2 * k_mib, 3);
    rr.put_flash(0, 0, boot);
    std::vector<uint8_t> second(boot.begin() + k_mib, boot.end());

    // The dump lives in the router's /tmp: copy it out in the same boot.
    EXPECT_EQ(rr.sh("imgrenew uboot 0 && cp /tmp/uboot.bin /2ndfile/uboot.bin"), "0");
    EXPECT_EQ(bytes_of(rr.file("uboot.bin")), second);

    // The single word is the bootloader command with the word as a number.
    EXPECT_EQ(rr.sh("imgrenew foo && cp /tmp/uboot.bin /2ndfile/foo.bin"), "0");
    EXPECT_EQ(bytes_of(rr.file("foo.bin")), second);
    for (const char *cmd : {"imgrenew uboot 2", "imgrenew 5"}) {
        EXPECT_EQ(rr.sh(cmd), "0") << cmd;
        EXPECT_TRUE(rr.r.syslog_contains("write sub-image file directly success")) << cmd;
        EXPECT_TRUE(rr.r.flash_equals(0, 0, boot)) << cmd;
    }

    EXPECT_EQ(rr.sh("imgrenew uboot 1"), "0");
    EXPECT_TRUE(rr.r.syslog_contains("erase mtd successful"));
    EXPECT_TRUE(rr.r.syslog_contains("write sub-image file directly success"));
    EXPECT_TRUE(rr.r.flash_erased(0, k_mib, k_mib));
    EXPECT_TRUE(rr.r.flash_equals(0, 0, std::vector<uint8_t>(boot.begin(), boot.begin() + k_mib)));
}

TEST(SysManualFlash, BootloaderRegionBeyondA512KiBPartitionIsRefused)
{
    records_router rr;
    ASSERT_TRUE(rr.r.ok());
    std::vector<uint8_t> boot = pattern_bytes(0x80000, 4);
    rr.put_flash(0, 0, boot);
    for (const char *cmd : {"imgrenew uboot 0; ls /tmp > /2ndfile/tmp_list",
                            "imgrenew 0; ls /tmp > /2ndfile/tmp_list", "imgrenew uboot 1"}) {
        EXPECT_EQ(rr.sh(cmd), "0") << cmd;
        EXPECT_TRUE(rr.r.syslog_contains("does not fit the partition")) << cmd;
        EXPECT_FALSE(rr.r.syslog_contains("begin to erase mtd")) << cmd;
        EXPECT_TRUE(rr.r.flash_equals(0, 0, boot)) << cmd;
        EXPECT_EQ(rr.file("tmp_list").find("uboot.bin"), std::string::npos) << cmd;
    }
}

TEST(SysManualFlash, KernelDumpAndWrite)
{
    records_router rr;
    ASSERT_TRUE(rr.r.ok());
    std::vector<uint8_t> old_kernel = pattern_bytes(3 * k_mib, 5);
    rr.put_flash(2, 0, old_kernel);

    EXPECT_EQ(rr.sh("imgrenew kernel 0 && cp /tmp/kernel.bin /2ndfile/kernel.bin"), "0");
    EXPECT_EQ(bytes_of(rr.file("kernel.bin")), old_kernel);

    EXPECT_EQ(rr.sh("imgrenew kernel 2"), "0");
    EXPECT_TRUE(rr.r.flash_equals(2, 0, old_kernel));

    // A whole 3 MiB file is written as it is.
    std::vector<uint8_t> new_kernel = pattern_bytes(3 * k_mib, 6);
    ASSERT_TRUE(write_file(rr.r.state() + "/2ndfile/new.bin", new_kernel));
    EXPECT_EQ(rr.sh("cp /2ndfile/new.bin /tmp/kernel.bin && imgrenew kernel 1"), "0");
    EXPECT_TRUE(rr.r.syslog_contains("write sub-image file directly success"));
    EXPECT_TRUE(rr.r.flash_equals(2, 0, new_kernel));
    EXPECT_EQ(rr.r.out("flash-faults.log"), "");
}

TEST(SysManualFlash, KernelWriteOfOtherSizes)
{
    struct { size_t size; bool erased; bool written; const char *log; } cases[] = {
        // Larger than the region: refused while the flash is intact.
        {3 * k_mib + 1, false, false, "more than the region"},
        // Shorter: its bytes go in, the rest stays erased, and it is a failure.
        {2 * k_mib, true, true, "extract the record item fail"},
        {2 * k_mib + 100, true, true, "extract the record item fail"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.size);
        records_router rr;
        ASSERT_TRUE(rr.r.ok());
        std::vector<uint8_t> old_kernel = pattern_bytes(3 * k_mib, 8);
        rr.put_flash(2, 0, old_kernel);
        std::vector<uint8_t> file = pattern_bytes(c.size, 9);
        ASSERT_TRUE(write_file(rr.r.state() + "/2ndfile/new.bin", file));
        EXPECT_EQ(rr.sh("cp /2ndfile/new.bin /tmp/kernel.bin && imgrenew kernel 1"), "0");
        EXPECT_TRUE(rr.r.syslog_contains(c.log));
        if (!c.erased) {
            EXPECT_TRUE(rr.r.flash_equals(2, 0, old_kernel));
            continue;
        }
        EXPECT_TRUE(rr.r.flash_equals(2, 0, file));
        // A short last piece is written padded with zero bytes up to its block.
        uint64_t padded = (c.size + 0x1FFFF) / 0x20000 * 0x20000;
        EXPECT_TRUE(rr.r.flash_equals(2, c.size, std::vector<uint8_t>(padded - c.size, 0)));
        EXPECT_TRUE(rr.r.flash_erased(2, padded, 3 * k_mib - padded));
    }

    records_router rr;
    ASSERT_TRUE(rr.r.ok());
    EXPECT_EQ(rr.sh("imgrenew kernel 1"), "0");   // no /tmp/kernel.bin at all
    EXPECT_TRUE(rr.r.syslog_contains("/tmp/kernel.bin failed"));
    EXPECT_TRUE(rr.r.flash_erased(2, 0, 3 * k_mib));
    EXPECT_EQ(rr.r.out("tools.log"), "");
}

TEST(SysManualFlash, KernelWriteStepsOverABadBlock)
{
    // Block 4 of the 24 is bad: the region holds 23 blocks of a file.
    records_router rr({"--bad-block", "2:4"});
    ASSERT_TRUE(rr.r.ok());
    std::vector<uint8_t> whole = pattern_bytes(3 * k_mib, 10);
    ASSERT_TRUE(write_file(rr.r.state() + "/2ndfile/new.bin", whole));
    EXPECT_EQ(rr.sh("cp /2ndfile/new.bin /tmp/kernel.bin && imgrenew kernel 1"), "0");
    EXPECT_TRUE(rr.r.syslog_contains("more than the region"));
    EXPECT_TRUE(rr.r.flash_erased(2, 0, 4 * 0x20000));
    EXPECT_TRUE(rr.r.flash_erased(2, 5 * 0x20000, 19 * 0x20000));

    std::vector<uint8_t> fits = pattern_bytes(23 * 0x20000, 11);
    ASSERT_TRUE(write_file(rr.r.state() + "/2ndfile/new.bin", fits));
    EXPECT_EQ(rr.sh("cp /2ndfile/new.bin /tmp/kernel.bin && imgrenew kernel 1"), "0");
    EXPECT_TRUE(rr.r.syslog_contains("write sub-image file directly success"));
    EXPECT_TRUE(rr.r.flash_equals(2, 0, std::vector<uint8_t>(fits.begin(), fits.begin() + 4 * 0x20000)));
    EXPECT_TRUE(rr.r.flash_equals(2, 4 * 0x20000, std::vector<uint8_t>(0x20000, 0x00)));
    EXPECT_TRUE(rr.r.flash_equals(2, 5 * 0x20000, std::vector<uint8_t>(fits.begin() + 4 * 0x20000, fits.end())));
    EXPECT_EQ(rr.r.out("flash-faults.log"), "");
}
