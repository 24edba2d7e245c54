// imgrenew's start-up, action table and state word, run unmodified in the
// simulated router: exit status, log lines and the package partition's bytes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "up_api.h"
#include "up_bytes.h"
#include "up_fd.h"
#include "simharness.h"
#include "up_package.h"

namespace {

using simharness::sim_router;

constexpr uint64_t k_state_at = UP_STATE_OFFSET;

// One simulated router per test, removed with it.
class Router : public testing::Test {
protected:
    sim_router r;

    void SetUp() override { ASSERT_TRUE(r.ok()); }

    // Runs imgrenew with args in the router; returns its recorded status.
    std::string imgrenew(const std::vector<std::string> &args, const std::string &file_mode_package = "")
    {
        std::vector<std::string> cmd = {"imgrenew"};
        cmd.insert(cmd.end(), args.begin(), args.end());
        simharness::run_options opt;
        opt.file_mode_package = file_mode_package;
        EXPECT_EQ(r.run(cmd, opt), 0);
        return r.status();
    }
    std::string syslog() { return r.out("syslog.log"); }

    std::vector<uint8_t> flash(uint64_t at, size_t len) { return r.flash(6, at, len); }
    // Writes straight into the partition image, before a run, as a previous
    // life of the router would have left it.
    void put_flash(uint64_t at, const std::vector<uint8_t> &b)
    {
        unique_fd fd(open(r.flash_path(6).c_str(), O_WRONLY));
        ASSERT_EQ(pwrite(fd.get(), b.data(), b.size(), (off_t)at), (ssize_t)b.size());
    }
    // Scratch files live in the state folder, so they go with it.
    std::string scratch(const char *name) { return r.state() + "/test-" + name; }
    void write_scratch(const std::string &path, const std::vector<uint8_t> &bytes)
    {
        ASSERT_TRUE(simharness::write_file(path, bytes));
    }
    void load_package(const std::vector<uint8_t> &pkg)
    {
        std::string path = scratch("pkg.bin");
        write_scratch(path, pkg);
        ASSERT_EQ(r.load_package(path), 0);
    }
};

std::vector<uint8_t> block_pattern()
{
    std::vector<uint8_t> b(UP_ERASE_BLOCK);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = (uint8_t)(i * 7 + (i >> 9) + 1);
    return b;
}

// A package of a version record and a modem record, and the bytes they name.
std::vector<uint8_t> package_with_modem()
{
    const uint32_t data_at = PACKAGE_HEAD_SIZE + 2 * PACKAGE_RECORD_SIZE;
    std::vector<uint8_t> pkg(data_at + 16, 0x33);
    package_signature_t h{0x1, 0x2, 1, 2, 0, (int32_t)pkg.size(), 0};
    encode_package_head(&h, pkg.data());
    package_record_t v{data_at, 8, 0, PACKAGE_VERSION, 0, "version_info.txt"};
    package_record_t m{data_at + 8, 8, 0, PACKAGE_MODEM_IMAGE, 0, "qd4700_modem.bin"};
    encode_package_record(&v, pkg.data() + PACKAGE_HEAD_SIZE);
    encode_package_record(&m, pkg.data() + PACKAGE_HEAD_SIZE + PACKAGE_RECORD_SIZE);
    return pkg;
}

} // namespace

TEST_F(Router, TestWordInitialisesAndExitsAtOnce)
{
    for (const char *word : {"TEST", "Test", "test"}) {
        EXPECT_EQ(imgrenew({word}), "0") << word;
        EXPECT_NE(syslog().find("init successful"), std::string::npos) << word << syslog();
        EXPECT_EQ(syslog().find("imgrenew [action] [value]"), std::string::npos) << word;
        EXPECT_NE(r.out("stdout").find("start to update system\n"), std::string::npos);
    }
}

TEST_F(Router, ArgumentCountsWithoutAnAction)
{
    struct { std::vector<std::string> args; bool usage; } cases[] = {
        {{}, true},                          // no word at all: the usage row
        {{"get", "1", "2"}, true},           // three words
        {{"up", "extra"}, false},            // a word the two-word form does not know
    };
    for (auto &c : cases) {
        EXPECT_EQ(imgrenew(c.args), "0");
        EXPECT_EQ(syslog().find("imgrenew [action] [value]") != std::string::npos, c.usage) << syslog();
        EXPECT_EQ(r.out("bus.jsonl"), "");
    }
}

TEST_F(Router, SetThenGetStoresTheWordAndKeepsTheBlock)
{
    std::vector<uint8_t> block = block_pattern();
    put_flash(k_state_at, block);
    std::vector<uint8_t> before_next = flash(k_state_at + UP_ERASE_BLOCK, 4096);

    EXPECT_EQ(imgrenew({"set", "60"}), "0");
    std::vector<uint8_t> after = flash(k_state_at, UP_ERASE_BLOCK);
    EXPECT_EQ(std::vector<uint8_t>(after.begin(), after.begin() + 4), (std::vector<uint8_t>{0x3C, 0, 0, 0}));
    EXPECT_TRUE(std::equal(after.begin() + 4, after.end(), block.begin() + 4)) << "the other 131068 bytes changed";
    EXPECT_EQ(flash(k_state_at + UP_ERASE_BLOCK, 4096), before_next);
    EXPECT_EQ(r.out("flash-faults.log"), "");

    EXPECT_EQ(imgrenew({"get"}), "0");
    EXPECT_NE(syslog().find("the upgrade stats is 60"), std::string::npos) << syslog();
}

TEST_F(Router, OutOfRangeValuesLeaveTheFlashUntouched)
{
    std::vector<uint8_t> block = block_pattern();
    put_flash(k_state_at, block);
    for (const char *value : {"257", "-1", "300"}) {
        EXPECT_EQ(imgrenew({"set", value}), "0") << value;
        EXPECT_EQ(flash(k_state_at, UP_ERASE_BLOCK), block) << value;
    }
    EXPECT_EQ(imgrenew({"set", "256"}), "0");
    EXPECT_EQ(get_le32(flash(k_state_at, 4).data()), 256u);
}

TEST_F(Router, StoredWordsAsGetReportsThem)
{
    struct { int32_t stored; const char *log; } cases[] = {
        {257, "the upgrade stats is 0"},
        {-2, "get upgrade status occure error"},
        {64, "the upgrade stats is 64"},
    };
    for (auto &c : cases) {
        std::vector<uint8_t> word(4);
        put_le32(word.data(), (uint32_t)c.stored);
        put_flash(k_state_at, word);
        EXPECT_EQ(imgrenew({"get"}), "0");
        EXPECT_NE(syslog().find(c.log), std::string::npos) << c.stored << syslog();
    }
}

TEST_F(Router, FileModeKeepsNoState)
{
    std::vector<uint8_t> word = {17, 0, 0, 0};
    put_flash(k_state_at, word);
    std::string pkg = scratch("root.bin");
    write_scratch(pkg, package_with_modem());
    EXPECT_EQ(imgrenew({"set", "5"}, pkg), "0");
    EXPECT_EQ(flash(k_state_at, 4), word);
    EXPECT_EQ(imgrenew({"get"}, pkg), "0");
    EXPECT_NE(syslog().find("the upgrade stats is 0"), std::string::npos) << syslog();
    // Back in partition mode the word is still there.
    EXPECT_EQ(imgrenew({"get"}), "0");
    EXPECT_NE(syslog().find("the upgrade stats is 17"), std::string::npos) << syslog();
}

TEST_F(Router, ErasedBlockWithAModemPackageBecomes60)
{
    load_package(package_with_modem());
    EXPECT_EQ(flash(k_state_at, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(imgrenew({"get"}), "0");
    EXPECT_NE(syslog().find("the upgrade stats is 60"), std::string::npos) << syslog();
    std::vector<uint8_t> after = flash(k_state_at, UP_ERASE_BLOCK);
    EXPECT_EQ(get_le32(after.data()), 60u);
    EXPECT_TRUE(std::all_of(after.begin() + 4, after.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(r.out("flash-faults.log"), "");
}

TEST_F(Router, ErasedBlockWithoutAModemReadsZeroAndStoresNothing)
{
    auto pkg = package_with_modem();
    pkg[PACKAGE_HEAD_SIZE + PACKAGE_RECORD_SIZE + 12] = PACKAGE_ROOTFS;   // the modem becomes a rootfs
    load_package(pkg);
    EXPECT_EQ(imgrenew({"get"}), "0");
    EXPECT_NE(syslog().find("the upgrade stats is 0"), std::string::npos) << syslog();
    EXPECT_EQ(flash(k_state_at, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
}


// The documentation of the action table follows the program: every action
// word that main.cpp compares has its row in docs/imgrenew-actions.md.
TEST(ActionDocs, EveryActionWordOfTheProgramIsDocumented)
{
    std::string main_cpp = simharness::read_file(std::string(UP_SOURCE_DIR) + "/app/up/main.cpp");
    std::string page = simharness::read_file(std::string(UP_SOURCE_DIR) + "/docs/imgrenew-actions.md");
    ASSERT_FALSE(page.empty());
    std::vector<std::string> words;
    const std::string key = "word_is(";
    for (size_t at = main_cpp.find(key); at != std::string::npos; at = main_cpp.find(key, at + 1)) {
        size_t open = main_cpp.find('"', at);
        size_t close = main_cpp.find('"', open + 1);
        if (open == std::string::npos || close == std::string::npos || open > main_cpp.find(')', at))
            continue;
        words.push_back(main_cpp.substr(open + 1, close - open - 1));
    }
    std::sort(words.begin(), words.end());
    EXPECT_EQ(words, (std::vector<std::string>{"get", "kernel", "nv_get", "nv_normal", "nv_set", "set", "set_digftm",
                                               "set_ftm", "set_online", "test", "uboot", "up"}));
    for (const std::string &w : words)
        EXPECT_NE(page.find("`imgrenew " + w), std::string::npos) << w;
    // The README shows the plain build for this PC.
    std::string readme = simharness::read_file(std::string(UP_SOURCE_DIR) + "/README.md");
    EXPECT_NE(readme.find("    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo\n"
                          "    cmake --build build -j2\n"),
              std::string::npos);
}
