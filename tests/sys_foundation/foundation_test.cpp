// imgrenew's start-up, action table and state word, run unmodified in the
// simulated router: exit status, log lines and the package partition's bytes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "up_api.h"
#include "up_bytes.h"
#include "up_fd.h"
#include "up_package.h"

namespace {

const std::string k_bin = UP_BIN_DIR;
constexpr off_t k_state_at = UP_STATE_OFFSET;

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int run_argv(const std::vector<std::string> &args, const std::string &log)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0)
            _exit(126);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One simulated router in a scratch folder, removed with the test.
class Router : public testing::Test {
protected:
    std::string state;

    void SetUp() override
    {
        char tmpl[] = "/tmp/sys_foundation_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        state = std::string(tmpl) + "/router";
        ASSERT_EQ(run_argv({k_bin + "/routersim", "init", state}, std::string(tmpl) + "/init.log"), 0);
    }
    void TearDown() override
    {
        std::string dir = state.substr(0, state.rfind('/'));
        run_argv({"/bin/rm", "-rf", dir}, "/dev/null");
    }

    // Runs imgrenew with args in the router; returns out/status as text.
    std::string imgrenew(const std::vector<std::string> &args, const std::string &file_mode_package = "")
    {
        std::vector<std::string> cmd = {k_bin + "/routersim", "run", state};
        if (!file_mode_package.empty()) {
            cmd.push_back("--file-mode");
            cmd.push_back(file_mode_package);
        }
        cmd.push_back("--");
        cmd.push_back("imgrenew");
        cmd.insert(cmd.end(), args.begin(), args.end());
        EXPECT_EQ(run_argv(cmd, state + "/../run.log"), 0) << slurp(state + "/../run.log");
        std::string status = slurp(state + "/out/status");
        while (!status.empty() && (status.back() == '\n' || status.back() == ' '))
            status.pop_back();
        return status;
    }
    std::string syslog() { return slurp(state + "/out/syslog.log"); }
    std::string out(const char *name) { return slurp(state + "/out/" + name); }

    std::string mtd6() { return state + "/flash/mtd6.img"; }
    std::vector<uint8_t> flash(off_t at, size_t len)
    {
        std::vector<uint8_t> b(len);
        unique_fd fd(open(mtd6().c_str(), O_RDONLY));
        EXPECT_EQ(pread(fd.get(), b.data(), len, at), (ssize_t)len);
        return b;
    }
    void put_flash(off_t at, const std::vector<uint8_t> &b)
    {
        unique_fd fd(open(mtd6().c_str(), O_WRONLY));
        ASSERT_EQ(pwrite(fd.get(), b.data(), b.size(), at), (ssize_t)b.size());
    }
    void load_package(const std::vector<uint8_t> &pkg)
    {
        std::string path = state + "/../pkg.bin";
        {
            unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
            ASSERT_EQ(write_full(fd.get(), pkg.data(), pkg.size()), (ssize_t)pkg.size());
        }
        ASSERT_EQ(run_argv({k_bin + "/routersim", "load-package", state, path}, state + "/../load.log"), 0);
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
        EXPECT_NE(out("stdout").find("start to update system\n"), std::string::npos);
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
        EXPECT_EQ(out("bus.jsonl"), "");
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
    EXPECT_EQ(out("flash-faults.log"), "");

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
    std::string pkg = state + "/../root.bin";
    {
        auto bytes = package_with_modem();
        unique_fd fd(open(pkg.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
        ASSERT_EQ(write_full(fd.get(), bytes.data(), bytes.size()), (ssize_t)bytes.size());
    }
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
    EXPECT_EQ(out("flash-faults.log"), "");
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

// Every action whose stand-in is still in not_built.cpp must refuse with a
// non-zero status; the list follows the file as colleagues remove entries.
TEST_F(Router, ActionsNotBuiltExitNonZero)
{
    struct { const char *function; std::vector<std::string> args; } actions[] = {
        {"int up_upgrade_all(", {"up"}},
        {"int modem_high_nv(", {"nv_get"}},
        {"int mu_change_mode(", {"set_ftm"}},
        {"int send_ftm_cmd(", {"set_digftm"}},
        {"int Read_Normal_NV_ITEM(", {"nv_normal"}},
        {"int32_t uboot_test(", {"uboot", "0"}},
        {"int32_t kernel_test(", {"kernel", "0"}},
    };
    std::string stand_ins = slurp(std::string(UP_SOURCE_DIR) + "/app/up/not_built.cpp");
    int checked = 0;
    for (auto &a : actions) {
        if (stand_ins.find(a.function) == std::string::npos)
            continue;
        ++checked;
        std::string status = imgrenew(a.args);
        EXPECT_NE(status, "0") << a.args[0];
        EXPECT_NE(status, "") << a.args[0];
        EXPECT_NE(syslog().find("is not built in this version"), std::string::npos) << a.args[0] << syslog();
    }
    if (checked == 0)
        GTEST_SKIP() << "every action is built";
}
