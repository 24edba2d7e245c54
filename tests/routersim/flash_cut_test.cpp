// Power cuts at a counted flash operation: every erased block and every write
// call of every process of the run counts, and the cut leaves the operation
// undone or torn, with nothing after it.
#include "simharness.h"

#include <gtest/gtest.h>

using simharness::run_options;
using simharness::sim_router;

namespace {

const std::vector<std::string> SMALL = {"--mtd", "3=1M", "--mtd", "4=1M", "--mtd", "5=1M", "--mtd", "6=1M"};

// Three processes: the shell, flash_erase (blocks 0-2 of mtd2, operations 1-3)
// and nandwrite (200000 zero bytes, up to 0x30D3F, padded with 0xFF: a block
// at 0 and 0x11000 bytes at 0x20000, operations 4 and 5), then a file on
// /2ndfile that only an uncut run makes.
std::vector<std::string> erase_then_write(const char *size)
{
    return {"sh", "-c",
            std::string("head -c ") + size + " /dev/zero > /tmp/z && flash_erase -q /dev/mtd2 0 3 && "
            "nandwrite -p -q /dev/mtd2 /tmp/z && touch /2ndfile/after"};
}

run_options cut(uint64_t op, const char *mode)
{
    run_options o;
    o.cut_at_op = op;
    o.cut_mode = mode;
    o.timeout_s = 30;
    return o;
}

uint8_t at(const sim_router &r, uint64_t offset)
{
    return r.flash(2, offset, 1)[0];
}

}  // namespace

TEST(FlashCut, UncutRunRecordsItsOperationCount)
{
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.run(erase_then_write("200000"), cut(0, "")), 0);
    EXPECT_EQ(r.status(), "0");
    EXPECT_EQ(r.out("flash-ops"), "5\n");
    EXPECT_EQ(r.out("flash-cut"), "");
    EXPECT_EQ(r.second_fs_file("after"), "");
    EXPECT_EQ(simharness::run_program({"test", "-e", r.state() + "/2ndfile/after"}), 0);
    // A cut past the last operation is no cut.
    ASSERT_EQ(r.run(erase_then_write("200000"), cut(6, "none")), 0);
    EXPECT_EQ(r.status(), "0");
    EXPECT_EQ(r.out("flash-ops"), "5\n");
}

TEST(FlashCut, CutLeavesTheOperationUndoneOrTornAndNothingAfterIt)
{
    struct {
        const char *size;   // zero bytes written after the erase
        uint64_t op;
        const char *mode;
        std::string cut_line;
        std::vector<std::pair<uint64_t, uint8_t>> bytes;   // offset in mtd2, value after the cut
    } cases[] = {
        // The second block's erase not done: the first block erased, the second as it was.
        {"200000", 2, "none", "2 none erase /dev/mtd2 0x20000 0x20000\n", {{0x0, 0xFF}, {0x1FFFF, 0xFF}, {0x20000, 0x00}}},
        // Torn erase: the first half of the second block erased, the rest as it was.
        {"200000", 2, "torn", "2 torn erase /dev/mtd2 0x20000 0x20000\n",
         {{0x1FFFF, 0xFF}, {0x20000, 0xFF}, {0x2FFFF, 0xFF}, {0x30000, 0x00}, {0x30D3F, 0x00}}},
        // Torn write of the first block: its first 64 KiB stored.
        {"200000", 4, "torn", "4 torn write /dev/mtd2 0x0 0x20000\n",
         {{0x0, 0x00}, {0xFFFF, 0x00}, {0x10000, 0xFF}, {0x20000, 0xFF}}},
        // The second write not done: the first block written, the second erased.
        {"200000", 5, "none", "5 none write /dev/mtd2 0x20000 0x11000\n", {{0x1FFFF, 0x00}, {0x20000, 0xFF}}},
        // A torn single page keeps its first half.
        {"2048", 4, "torn", "4 torn write /dev/mtd2 0x0 0x800\n", {{0x3FF, 0x00}, {0x400, 0xFF}}},
    };
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    for (auto &c : cases) {
        std::string what = std::string(c.size) + " bytes, " + std::to_string(c.op) + " " + c.mode;
        // An uncut run first: zeros in the first block and a half.
        ASSERT_EQ(r.run(erase_then_write("200000"), cut(0, "")), 0);
        ASSERT_EQ(r.status(), "0");
        ASSERT_EQ(simharness::run_program({"rm", "-f", r.state() + "/2ndfile/after"}), 0);

        ASSERT_EQ(r.run(erase_then_write(c.size), cut(c.op, c.mode)), 0) << what;
        EXPECT_EQ(r.status(), "killed") << what;
        EXPECT_EQ(r.out("flash-ops"), std::to_string(c.op) + "\n") << what;
        EXPECT_EQ(r.out("flash-cut"), c.cut_line) << what;
        EXPECT_EQ(simharness::run_program({"test", "-e", r.state() + "/2ndfile/after"}), 1) << what;
        for (auto &b : c.bytes)
            EXPECT_EQ(at(r, b.first), b.second) << what << " at " << b.first;
        EXPECT_EQ(r.out("flash-faults.log"), "") << what;
    }
}

TEST(FlashCut, RefusesBadCutOptions)
{
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    std::string routersim = simharness::bin_path("routersim");
    for (auto args : std::vector<std::vector<std::string>>{{"--cut-at-op", "x"},
                                                           {"--cut-at-op", "-3"},
                                                           {"--cut-mode", "half"}}) {
        std::vector<std::string> argv = {routersim, "run", r.state()};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), {"--", "true"});
        EXPECT_EQ(simharness::run_program(argv), 2) << args[0] << " " << args[1];
    }
}
