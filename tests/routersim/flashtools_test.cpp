// The flash tool stand-ins accept the installers' command lines and leave
// NAND-correct contents behind.
#include "flash_fixture.h"

#include <cstdlib>

using simharness::bin_path;
using simharness::read_lines;

namespace {

std::vector<uint8_t> pattern(size_t n, unsigned seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (uint8_t)((i * 131 + seed) % 251);
    return v;
}

}  // namespace

TEST_F(FlashImage, EraseThenNandwriteLeavesFileAndPadding)
{
    const size_t len = 5000;   // two whole pages and a part
    auto data = pattern(len, 7);
    std::string file = dir + "/zImage";
    ASSERT_TRUE(simharness::write_file(file, data));
    // Dirty the partition first so the erase has something to do.
    ASSERT_EQ(probe({bin_path("simprobe"), "write", image, "0", "8192", "0x00"}), "ok 8192");

    int rc = -1;
    probe({bin_path("flash_erase"), image, "0", "4"}, &rc);
    EXPECT_EQ(rc, 0);
    probe({bin_path("nandwrite"), "-m", "-p", image, file}, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(bytes(0, len), data);
    EXPECT_EQ(bytes(len, 6144 - len), std::vector<uint8_t>(6144 - len, 0xFF));
    EXPECT_EQ(bytes(6144, 2048), std::vector<uint8_t>(2048, 0xFF));
    EXPECT_TRUE(read_lines(fault_log).empty());
    EXPECT_EQ(read_lines(tools_log),
              (std::vector<std::string>{bin_path("flash_erase") + " " + image + " 0 4",
                                        bin_path("nandwrite") + " -m -p " + image + " " + file}));

    // Writing again without an erase, as a forgotten flash_erase would.
    probe({bin_path("nandwrite"), "-p", image, dir + "/other"}, &rc);
    EXPECT_NE(rc, 0);   // missing input
    ASSERT_TRUE(simharness::write_file(dir + "/other", pattern(2048, 99)));
    probe({bin_path("nandwrite"), "-p", image, dir + "/other"}, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(read_lines(fault_log).empty());
}

TEST_F(FlashImage, ToolsRefuseWhatTheRealOnesRefuse)
{
    std::string odd = dir + "/odd.bin";
    ASSERT_TRUE(simharness::write_file(odd, pattern(3000, 1)));
    ASSERT_TRUE(simharness::write_file(dir + "/big.bin", pattern(IMAGE_SIZE + 1, 1)));
    struct {
        std::vector<std::string> args;
    } refused[] = {
        {{bin_path("flash_erase"), "-j", image, "0", "1"}},              // unknown option
        {{bin_path("flash_erase"), image, "0x800", "1"}},                // unaligned start
        {{bin_path("flash_erase"), image, "0", "5"}},                    // past the end
        {{bin_path("flash_erase"), image, "0"}},                         // missing count
        {{bin_path("flash_erase"), image, "zero", "1"}},
        {{bin_path("nandwrite"), image, odd}},                           // not page-aligned without -p
        {{bin_path("nandwrite"), "-p", image, dir + "/big.bin"}},        // too big
        {{bin_path("nandwrite"), "-x", image, odd}},
        {{bin_path("nandwrite"), "-p", "-s", "0x100", image, odd}},      // unaligned start
        {{bin_path("kobs-ng"), "init"}},
        {{bin_path("kobs-ng"), "update", odd}},
        {{bin_path("kobs-ng"), "init", "-x", odd}},
        {{bin_path("kobs-ng"), "init", "-d", image, dir + "/big.bin"}},
        {{bin_path("kobs-ng"), "init", "-d", image, dir + "/none"}},
    };
    for (auto &c : refused) {
        int rc = 0;
        probe(c.args, &rc);
        EXPECT_NE(rc, 0) << c.args[1] << " " << c.args[2];
    }
    EXPECT_EQ(bytes(0, 4096), std::vector<uint8_t>(4096, 0xFF));
    EXPECT_EQ(read_lines(tools_log).size(), sizeof refused / sizeof refused[0]);   // refused calls are logged too
}

TEST_F(FlashImage, KobsNgWritesTheBootStreamFromTheStartOfThePartition)
{
    auto boot = pattern(200 * 1024, 3);   // spans two erase blocks
    std::string file = dir + "/u-boot.bin";
    ASSERT_TRUE(simharness::write_file(file, boot));
    // Old contents in the two blocks it needs and in the one after.
    ASSERT_EQ(probe({bin_path("simprobe"), "write", image, "0", "0x60000", "0x11"}), "ok 393216");

    int rc = -1;
    probe({bin_path("kobs-ng"), "init", "-v", "-d", image, file}, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(bytes(0, boot.size()), boot);
    EXPECT_EQ(bytes(boot.size(), 0x40000 - boot.size()), std::vector<uint8_t>(0x40000 - boot.size(), 0xFF));
    EXPECT_EQ(bytes(0x40000, 16), std::vector<uint8_t>(16, 0x11));   // third block untouched
    EXPECT_TRUE(read_lines(fault_log).empty());
}

TEST_F(FlashImage, EraseAndNandwriteStepOverBadBlocks)
{
    mark_bad(1);
    auto data = pattern(0x20000 + 4096, 3);    // one block and two pages
    std::string file = dir + "/rootfs.jffs2";
    ASSERT_TRUE(simharness::write_file(file, data));
    ASSERT_EQ(probe({bin_path("simprobe"), "write", image, "0x40000", "2048", "0x00"}), "ok 2048");
    int rc = -1;
    probe({bin_path("flash_erase"), image, "0", "4"}, &rc);
    EXPECT_EQ(rc, 0);
    probe({bin_path("nandwrite"), "-m", "-p", image, file}, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(bytes(0, 0x20000), std::vector<uint8_t>(data.begin(), data.begin() + 0x20000));
    EXPECT_EQ(bytes(0x20000, 0x20000), std::vector<uint8_t>(0x20000, 0x00));   // left alone
    EXPECT_EQ(bytes(0x40000, 4096), std::vector<uint8_t>(data.begin() + 0x20000, data.end()));
    EXPECT_EQ(bytes(0x41000, 2048), std::vector<uint8_t>(2048, 0xFF));
    EXPECT_TRUE(read_lines(fault_log).empty());

    // Four blocks, one bad: three blocks fit, one page more is refused unwritten.
    ASSERT_TRUE(simharness::write_file(file, pattern(3 * 0x20000 + 2048, 4)));
    probe({bin_path("flash_erase"), image, "0", "0"}, &rc);
    EXPECT_EQ(rc, 0);
    probe({bin_path("nandwrite"), "-p", image, file}, &rc);
    EXPECT_NE(rc, 0);
    EXPECT_EQ(bytes(0, 2048), std::vector<uint8_t>(2048, 0xFF));
}
