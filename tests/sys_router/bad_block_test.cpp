// Factory bad blocks in the partitions imgrenew writes and in the package
// partition it reads: every writer and reader steps over them, in both modes.
#include "upgrade_fixture.h"

using namespace sysrouter;
using simharness::run_options;

namespace {

run_options fast(const std::string &file_mode_package = "")
{
    run_options o;
    o.time_scale = 20;
    o.timeout_s = 600;
    o.file_mode_package = file_mode_package;
    return o;
}

// mtd2: block 0; mtd3: blocks 1 and 5; mtd4: block 2; mtd6: blocks 0 and 3.
const std::vector<std::string> k_bad_blocks = {"--bad-block", "2:0", "--bad-block", "3:1", "--bad-block", "3:5",
                                               "--bad-block", "4:2", "--bad-block", "6:0", "--bad-block", "6:3"};

// The good blocks of the partition, in order, hold data and then erased
// bytes to the end of the last block written; each bad block still holds
// the zeros routersim marked it with.
::testing::AssertionResult good_blocks_hold(const sim_router &r, int mtd, const std::vector<uint64_t> &bad,
                                            const std::vector<uint8_t> &data)
{
    size_t done = 0;
    for (uint64_t block = 0; done < data.size(); ++block) {
        std::vector<uint8_t> got = r.flash(mtd, block * k_block, k_block);
        if (std::find(bad.begin(), bad.end(), block) != bad.end()) {
            if (got != std::vector<uint8_t>(k_block, 0x00))
                return ::testing::AssertionFailure() << "mtd" << mtd << " bad block " << block << " was written";
            continue;
        }
        size_t n = std::min<size_t>(k_block, data.size() - done);
        std::vector<uint8_t> want(data.begin() + (long)done, data.begin() + (long)(done + n));
        want.resize(k_block, 0xFF);
        if (got != want)
            return ::testing::AssertionFailure() << "mtd" << mtd << " block " << block << " is not record block "
                                                 << done / k_block;
        done += n;
    }
    return ::testing::AssertionSuccess();
}

struct raw_package {
    package_dir dir;
    std::vector<uint8_t> kernel = random_bytes(300000, 12);
    std::vector<uint8_t> rootfs = random_bytes(1200000, 13);
    std::vector<uint8_t> second = random_bytes(400000, 14);
    std::string path;
    explicit raw_package(size_t kernel_len = 300000)
    {
        kernel.resize(kernel_len, 0x5C);
        dir.put("zImage", kernel);
        dir.put("rootfs.jffs2", rootfs);
        dir.put("2nd.img", second);
        dir.put("version_info.txt", "zImage-2.0\nrootfs.jffs2-2.0\n");
        path = dir.build("record version version_info.txt 0 version_info.txt\n"
                         "record kernel zImage 0 zImage\n"
                         "record rootfs rootfs.jffs2 0 rootfs.jffs2\n"
                         "record 2ndfs 2nd.img 0 2nd.img\n");
    }
};

std::string mode_name(const ::testing::TestParamInfo<bool> &i)
{
    return i.param ? "FileMode" : "PartitionMode";
}

} // namespace

class BadBlocks : public ::testing::TestWithParam<bool> {};

TEST_P(BadBlocks, EveryPartitionGetsItsRecordInTheGoodBlocks)
{
    const bool file_mode = GetParam();
    raw_package pkg;
    sim_router r(k_bad_blocks);
    ASSERT_NO_FATAL_FAILURE(place_package(r, pkg.path, file_mode));
    ASSERT_EQ(r.run({"imgrenew", "up"}, fast(file_mode ? pkg.path : "")), 0);

    EXPECT_EQ(r.status(), "0") << r.out("stdout");
    EXPECT_TRUE(good_blocks_hold(r, 2, {0}, pkg.kernel));
    EXPECT_TRUE(good_blocks_hold(r, 3, {1, 5}, pkg.rootfs));
    EXPECT_TRUE(good_blocks_hold(r, 4, {2}, pkg.second));
    expect_successful_bus(r.bus());
    EXPECT_EQ(r.out("flash-faults.log"), "");
    if (!file_mode) {
        // The package partition is cleared around its bad blocks.
        EXPECT_TRUE(r.flash_erased(6, k_block, 2 * k_block));
        EXPECT_TRUE(r.flash_erased(6, 4 * k_block, 0x8000000 - 4 * k_block));
        EXPECT_EQ(r.flash(6, 0, k_block), std::vector<uint8_t>(k_block, 0x00));
    }
}

TEST_P(BadBlocks, ARecordThatFitsOnlyWithoutTheBadBlocksIsRefusedBeforeAnyErase)
{
    const bool file_mode = GetParam();
    raw_package pkg(23 * k_block + 1);     // 3 MiB partition, one block bad: 23 good blocks
    sim_router r({"--bad-block", "2:7"});
    ASSERT_NO_FATAL_FAILURE(place_package(r, pkg.path, file_mode));
    ASSERT_EQ(r.run({"imgrenew", "up"}, fast(file_mode ? pkg.path : "")), 0);

    expect_failed_bus(r.bus());
    EXPECT_TRUE(r.syslog_contains("too few for 3014657")) << r.out("syslog.log");
    EXPECT_TRUE(r.flash_erased(2, 0, 7 * k_block));
    EXPECT_TRUE(r.flash_erased(2, 8 * k_block, 16 * k_block));
    EXPECT_TRUE(r.flash_erased(3, 0, 0x2000000));
    EXPECT_TRUE(r.flash_erased(4, 0, 0x1000000));
    EXPECT_EQ(r.out("tools.log"), "");
}

INSTANTIATE_TEST_SUITE_P(BothModes, BadBlocks, ::testing::Values(false, true), mode_name);

TEST(BadBlocks, AStateBlockThatIsBadKeepsNoStateAndInstallsEverything)
{
    raw_package pkg;
    sim_router r({"--bad-block", "6:528"});     // 0x4200000 / 128 KiB
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.load_package(pkg.path), 0);
    ASSERT_EQ(r.run({"imgrenew", "up"}, fast()), 0);
    EXPECT_EQ(r.status(), "0") << r.out("stdout");
    EXPECT_TRUE(partition_holds(r, 2, pkg.kernel));
    EXPECT_TRUE(partition_holds(r, 3, pkg.rootfs));
    EXPECT_EQ(r.flash(6, 0x4200000, k_block), std::vector<uint8_t>(k_block, 0x00));
}

TEST(BadBlocks, ARecordPushedIntoTheStateBlockByABadBlockIsRefused)
{
    // Ends 16 bytes before 0x4200000 as a package offset; with block 0 bad
    // its last block lies in the state block on the device. The package
    // (packlen 0x4300000) reaches it too, and is refused for that first.
    raw_package pkg;
    patch_le32(pkg.path, 20, 0x4300000);
    patch_le32(pkg.path, record_field(2, 0), 0x4200000 - 16 - 0x1000);
    patch_le32(pkg.path, record_field(2, 4), 0x1000);
    sim_router r({"--bad-block", "6:0"});
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.load_package(pkg.path), 0);
    ASSERT_EQ(r.run({"imgrenew", "up"}, fast()), 0);
    expect_failed_bus(r.bus());
    EXPECT_TRUE(r.syslog_contains("package and its signature end at package offset 0x4300000, past the state "
                                  "block at 0x4200000 of the package partition: refused"));
    EXPECT_TRUE(r.flash_erased(2, 0, 0x300000));
    EXPECT_TRUE(r.flash_erased(3, 0, 0x2000000));
}
