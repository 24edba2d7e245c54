// The flash emulation gives image files the answers of a NAND MTD device.
#include "flash_fixture.h"

using simharness::bin_path;
using simharness::read_lines;

namespace {

std::string probe_path()
{
    return bin_path("simprobe");
}

}  // namespace

TEST_F(FlashImage, AnswersMtdIoctlsLikeNand)
{
    struct {
        std::vector<std::string> args;
        std::string expect;
    } cases[] = {
        // type 4 = MTD_NANDFLASH, flags 0x400 = MTD_CAP_NANDFLASH
        {{"info"}, "ok 4 1024 524288 131072 2048 64"},
        {{"unlock"}, "errno 524"},
        {{"badblock", "0x20000"}, "ok 0"},
        {{"erase", "0x20000", "0x20000"}, "ok 0"},
        {{"erase", "0x20000", "0x40000"}, "ok 0"},
        {{"erase", "0x800", "0x20000"}, "errno 22"},        // unaligned start
        {{"erase", "0", "0x1000"}, "errno 22"},             // unaligned length
        {{"erase", "0x60000", "0x40000"}, "errno 22"},      // past the end
        {{"erase64", "0x40000", "0x20000"}, "ok 0"},
        {{"erase64", "0x40001", "0x20000"}, "errno 22"},
    };
    for (auto &c : cases) {
        std::vector<std::string> argv = {probe_path(), c.args[0], image};
        argv.insert(argv.end(), c.args.begin() + 1, c.args.end());
        EXPECT_EQ(probe(argv), c.expect) << c.args[0];
    }
}

TEST_F(FlashImage, AcceptsOnlyWholePagesAtPageOffsets)
{
    struct {
        const char *how, *offset, *len;
        std::string expect;
    } cases[] = {
        {"write", "0", "2048", "ok 2048"},
        {"write", "0x800", "4096", "ok 4096"},
        {"writefd", "0x20000", "131072", "ok 131072"},
        {"write", "0", "100", "errno 22"},
        {"write", "0x400", "2048", "errno 22"},
        {"writefd", "0x10", "2048", "errno 22"},
        {"write", "0x80000", "2048", "errno 28"},           // at the end: ENOSPC
        {"writev", "0x40000", "8192", "ok 8192"},           // two segments of two pages
        {"writev", "0x40000", "2048", "errno 22"},          // segments of half a page
    };
    for (auto &c : cases)
        EXPECT_EQ(probe({probe_path(), c.how, image, c.offset, c.len, "0x00"}), c.expect)
            << c.how << " " << c.offset << " " << c.len;
    EXPECT_EQ(bytes(0x400, 4), std::vector<uint8_t>(4, 0x00));
    EXPECT_EQ(bytes(0x1800, 4), std::vector<uint8_t>(4, 0xFF));   // untouched page
}

TEST_F(FlashImage, StoresOldAndNewAndLogsBitsThatWouldRise)
{
    EXPECT_EQ(probe({probe_path(), "write", image, "0x1000", "2048", "0x0F"}), "ok 2048");
    EXPECT_TRUE(read_lines(fault_log).empty());
    EXPECT_EQ(probe({probe_path(), "write", image, "0x1000", "2048", "0x3C"}), "ok 2048");
    EXPECT_EQ(bytes(0x1000, 2), std::vector<uint8_t>(2, 0x0C));
    auto faults = read_lines(fault_log);
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_NE(faults[0].find(image + " page 0x00001000: 2048 bytes"), std::string::npos) << faults[0];
    EXPECT_NE(faults[0].find("stored 0x0f, written 0x3c"), std::string::npos) << faults[0];

    // Erasing makes the page writable again without a fault.
    EXPECT_EQ(probe({probe_path(), "erase", image, "0", "0x20000"}), "ok 0");
    EXPECT_EQ(probe({probe_path(), "write", image, "0x1000", "2048", "0x3C"}), "ok 2048");
    EXPECT_EQ(bytes(0x1000, 1), std::vector<uint8_t>(1, 0x3C));
    EXPECT_EQ(read_lines(fault_log).size(), 1u);
}

TEST_F(FlashImage, ShellRedirectionKeepsSizeAndNandRules)
{
    // The shell opens with O_TRUNC and cat inherits the descriptor across exec:
    // the partition must neither shrink nor escape the page rules.
    int rc = 0;
    probe({"sh", "-c", "head -c 2048 /dev/zero > " + image}, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(simharness::read_file(image).size(), IMAGE_SIZE);
    EXPECT_EQ(bytes(0, 2048), std::vector<uint8_t>(2048, 0x00));
    probe({"sh", "-c", "printf abc > " + image}, &rc);
    EXPECT_NE(rc, 0);                                   // 3 bytes: EINVAL
    probe({"sh", "-c", "head -c 2048 /dev/zero | tr '\\0' '\\377' | dd of=" + image + " bs=2048 2>/dev/null"}, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(bytes(0, 1), std::vector<uint8_t>(1, 0x00));   // 0xFF over 0x00 stays 0x00 ...
    EXPECT_EQ(read_lines(fault_log).size(), 1u);             // ... and is a fault
}

TEST_F(FlashImage, LeavesOtherFilesAlone)
{
    int rc = 0;
    std::string other = dir + "/plain.txt";
    probe({"sh", "-c", "printf abc > " + other + " && printf de >> " + other}, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(simharness::read_file(other), "abcde");
    EXPECT_EQ(probe({probe_path(), "info", other}), "errno 25");   // ENOTTY, as for any file
}

TEST_F(FlashImage, BadBlocksOfTheTableFailLikeTheKernelSays)
{
    mark_bad(1);
    struct {
        std::vector<std::string> args;
        std::string expect;
    } cases[] = {
        {{"badblock", "0x20000"}, "ok 1"},
        {{"badblock", "0x3F800"}, "ok 1"},                  // any offset inside it
        {{"badblock", "0x40000"}, "ok 0"},
        {{"badblock", "0x80000"}, "errno 22"},              // past the end
        {{"erase", "0x40000", "0x20000"}, "ok 0"},
        {{"erase", "0x20000", "0x20000"}, "errno 5"},
        {{"erase", "0", "0x40000"}, "errno 5"},             // block 0 erased, then EIO
        {{"write", "0x20000", "2048", "0x11"}, "errno 5"},
        {{"write", "0x1F000", "8192", "0x22"}, "errno 5"},  // runs into it
    };
    ASSERT_EQ(probe({probe_path(), "write", image, "0", "2048", "0x00"}), "ok 2048");
    for (auto &c : cases) {
        std::vector<std::string> argv = {probe_path(), c.args[0], image};
        argv.insert(argv.end(), c.args.begin() + 1, c.args.end());
        EXPECT_EQ(probe(argv), c.expect) << c.args[0] << " " << c.args[1];
    }
    EXPECT_EQ(bytes(0, 4), std::vector<uint8_t>(4, 0xFF));          // erased before the bad block
    EXPECT_EQ(bytes(0x1F000, 4), std::vector<uint8_t>(4, 0x22));    // pages before it written
    EXPECT_EQ(bytes(0x20000, 0x20000), std::vector<uint8_t>(0x20000, 0x00));
}
