// What is verified is what is installed, in the simulated router: a package
// rewritten while a run installs it is not installed as a mix, the resume
// state belongs to the package that left it, a signed package must end
// before the state block, and a signed upgrade reads the package partition
// at most twice over.
#include <cstdio>
#include <numeric>

#include "modem_fixture.h"
#include "up_pkg_sig.h"

using namespace sysmodem;
using simharness::run_options;
using sysrouter::package_dir;
using sysrouter::partition_holds;
using sysrouter::record_field;

namespace {

int run_tool(const std::vector<std::string> &argv)
{
    return simharness::run_program(argv, {}, nullptr);
}

std::string imgpack()
{
    return simharness::bin_path("imgpack");
}

uint32_t le32_at(const std::string &path, size_t offset)
{
    std::string text = simharness::read_file(path);
    const auto *p = reinterpret_cast<const uint8_t *>(text.data() + offset);
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// A router package of version file, bootloader, kernel, root file system
// and a raw second file system image; release tells two packages apart.
struct router_package {
    package_dir dir;
    bytes boot, kernel, rootfs, second;
    std::string path, pub, sec;
    router_package(uint32_t seed, const std::string &release)
        : boot(random_bytes(70000, seed)), kernel(random_bytes(300000, seed + 1)),
          rootfs(random_bytes(1200000, seed + 2)), second(random_bytes(200000, seed + 3))
    {
        dir.put("boot.bin", boot);
        dir.put("zImage", kernel);
        dir.put("rootfs.jffs2", rootfs);
        dir.put("2ndfs.img", second);
        dir.put("version_info.txt", "boot_nontrust.bin-" + release + "\nzImage-" + release + "\nrootfs.jffs2-" +
                                        release + "\n");
        path = dir.build("record version version_info.txt 0 version_info.txt\n"
                         "record bootloader boot_nontrust.bin 0 boot.bin\n"
                         "record kernel zImage 0 zImage\n"
                         "record rootfs rootfs.jffs2 0 rootfs.jffs2\n"
                         "record 2ndfs 2ndfs.img 0 2ndfs.img\n");
    }
    void sign()
    {
        pub = dir / "release.pub";
        sec = dir / "release.sec";
        EXPECT_EQ(run_tool({imgpack(), "keygen", pub, sec}), 0);
        EXPECT_EQ(run_tool({imgpack(), "sign", path, "--key", sec, "--comment", "release"}), 0);
    }
};

run_options at_scale(double scale, const std::string &file_mode_package = "")
{
    run_options o;
    o.time_scale = scale;
    o.timeout_s = 120 * scale;   // two minutes of wall time at any scale
    o.file_mode_package = file_mode_package;
    return o;
}

// imgrenew up while a second process waits for the version file the run
// extracts after its pass, and then runs rewrite on the package. The kernel
// record comes two records later, after the bootloader and its 1 s wait.
std::vector<std::string> up_while(const std::string &rewrite)
{
    return {"sh", "-c",
            "( while [ ! -e /tmp/version_info.txt ]; do sleep 0.01; done; " + rewrite +
                " ) & imgrenew up; rc=$?; wait; exit $rc"};
}

struct rewrite_case {
    const char *name;
    bool file_mode;
    bool keyed;
};

void PrintTo(const rewrite_case &c, std::ostream *os)
{
    *os << c.name;
}

class RewrittenDuringTheRun : public ::testing::TestWithParam<rewrite_case> {};

// Package offset 0x50000 lies in the kernel (bytes 70 500 to 370 499 of the
// package), in the package's third 128 KiB block, at 0x40000.
TEST_P(RewrittenDuringTheRun, FailsNamingTheBlockAndTheChangedBytesReachNoPartition)
{
    const rewrite_case c = GetParam();
    router_package pkg(100, "2.0");
    ASSERT_EQ(le32_at(pkg.path, record_field(2, 0)), 70500u);
    ASSERT_EQ(le32_at(pkg.path, record_field(2, 4)), 300000u);
    if (c.keyed)
        pkg.sign();
    sim_router r(c.keyed ? std::vector<std::string>{"--key", pkg.pub} : std::vector<std::string>{});
    ASSERT_TRUE(r.ok());
    std::string rewrite;
    if (c.file_mode) {
        rewrite = "printf CHANGED | dd of=/2ndfile/image_path/root.bin bs=1 seek=327680 conv=notrunc 2>/dev/null";
    } else {
        ASSERT_EQ(r.load_package(pkg.path), 0);
        // Another writer of the package partition: the block is erased.
        rewrite = "flash_erase /dev/mtd6 0x40000 1 >/dev/null";
    }
    ASSERT_EQ(r.run(up_while(rewrite), at_scale(1, c.file_mode ? pkg.path : "")), 0);

    EXPECT_EQ(r.status(), "0") << r.out("stderr");
    EXPECT_EQ(syslog_count(r, c.keyed ? "package signature verified" : "package not authenticated"), 1u);
    EXPECT_EQ(syslog_count(r, "package block at offset 0x40000 changed after the package was verified: refused"), 1u)
        << r.out("syslog.log");
    EXPECT_TRUE(r.syslog_contains("update system failed and will to reboot"));
    EXPECT_FALSE(r.syslog_contains("update system success"));
    sysrouter::expect_failed_bus(r.bus());
    EXPECT_TRUE(partition_holds(r, 0, pkg.boot)) << "the bootloader came before the change";
    if (c.file_mode) {
        // The kernel is copied out of the package before its partition is
        // erased: the copy fails, the partition is never touched.
        EXPECT_TRUE(r.flash_erased(2, 0, 0x300000));
        EXPECT_EQ(r.out("tools.log").find("/dev/mtd2"), std::string::npos) << r.out("tools.log");
    } else {
        // Written straight from the package: its first 128 KiB (package
        // blocks 0 and 0x20000) went in, nothing read from block 0x40000 did.
        EXPECT_TRUE(r.flash_equals(2, 0, bytes(pkg.kernel.begin(), pkg.kernel.begin() + 0x20000)));
        EXPECT_TRUE(r.flash_erased(2, 0x20000, 0x2E0000));
    }
    EXPECT_TRUE(r.flash_erased(3, 0, 0x2000000)) << "the root file system was written";
}

const rewrite_case k_rewrites[] = {
    {"PartitionModeNoKey", false, false},
    {"PartitionModeKeyed", false, true},
    {"FileModeNoKey", true, false},
    {"FileModeKeyed", true, true},
};

INSTANTIATE_TEST_SUITE_P(BothModes, RewrittenDuringTheRun, ::testing::ValuesIn(k_rewrites),
                         [](const ::testing::TestParamInfo<rewrite_case> &i) { return std::string(i.param.name); });

// imgrenew up, cut like a power cut (SIGKILL) as soon as the state word in
// the package partition reads 12: bootloader and kernel installed, during
// the wait after the kernel.
std::vector<std::string> up_cut_after_kernel()
{
    return {"sh", "-c",
            "imgrenew up & pid=$!; "
            "while :; do case $(od -An -tu4 -j 69206016 -N4 /dev/mtd6 | tr -d ' ') in 12|28|60) break;; esac; "
            "sleep 0.01; done; "
            "kill -9 $pid; echo CUT"};
}

void cut_after_kernel(sim_router &r, const router_package &a)
{
    ASSERT_EQ(r.load_package(a.path), 0);
    ASSERT_EQ(r.run(up_cut_after_kernel(), at_scale(1)), 0);
    ASSERT_NE(r.out("stdout").find("CUT"), std::string::npos) << r.out("stdout");
    ASSERT_TRUE(partition_holds(r, 2, a.kernel));
    ASSERT_EQ(le32_at(r.flash_path(6), 0x4200000), 12u);
}

TEST(ResumeStatePackage, AnotherPackageAfterACutInstallsEveryRecord)
{
    router_package a(200, "2.0"), b(300, "3.0");
    sim_router r;
    ASSERT_TRUE(r.ok());
    ASSERT_NO_FATAL_FAILURE(cut_after_kernel(r, a));

    ASSERT_EQ(r.load_package(b.path), 0);
    ASSERT_EQ(r.run({"imgrenew", "up"}, at_scale(20)), 0);
    EXPECT_EQ(r.status(), "0");
    EXPECT_TRUE(r.syslog_contains("update state 12 was not left by this package: installing every record"));
    EXPECT_TRUE(r.syslog_contains("update system success and will to reboot"));
    EXPECT_TRUE(partition_holds(r, 0, b.boot));
    EXPECT_TRUE(partition_holds(r, 2, b.kernel)) << "B's kernel was skipped";
    EXPECT_TRUE(partition_holds(r, 3, b.rootfs));
    EXPECT_TRUE(partition_holds(r, 4, b.second));
    // A raw second file system image brings its own version file; the
    // package's is not merged (as in every run of such a package).
    sysrouter::expect_successful_bus(r.bus());
}

TEST(ResumeStatePackage, TheSamePackageAfterACutResumes)
{
    router_package a(200, "2.0");
    sim_router r;
    ASSERT_TRUE(r.ok());
    ASSERT_NO_FATAL_FAILURE(cut_after_kernel(r, a));
    std::string before = simharness::read_file(r.flash_path(2));

    ASSERT_EQ(r.load_package(a.path), 0);
    ASSERT_EQ(r.run({"imgrenew", "up"}, at_scale(20)), 0);
    EXPECT_TRUE(r.syslog_contains("the update state belongs to this package: resuming"));
    EXPECT_TRUE(r.syslog_contains("had update image is:12"));
    EXPECT_TRUE(r.syslog_contains("update system success and will to reboot"));
    EXPECT_EQ(simharness::read_file(r.flash_path(2)), before) << "the installed kernel was written again";
    EXPECT_TRUE(partition_holds(r, 3, a.rootfs));
    EXPECT_TRUE(partition_holds(r, 4, a.second));
}

// A state word with step bits but no record of its package, as a run of the
// tool's earlier version leaves it: nothing says which package installed
// those components, so every record is installed.
TEST(ResumeStatePackage, StepBitsOfNoRecordedPackageInstallEveryRecord)
{
    router_package a(400, "2.0");
    sim_router r;
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.load_package(a.path), 0);
    ASSERT_EQ(r.run({"imgrenew", "set", "12"}), 0);
    ASSERT_EQ(r.run({"imgrenew", "up"}, at_scale(20)), 0);
    EXPECT_TRUE(r.syslog_contains("update state 12 was not left by this package: installing every record"));
    EXPECT_TRUE(r.syslog_contains("had update image is:0"));
    EXPECT_TRUE(partition_holds(r, 0, a.boot));
    EXPECT_TRUE(partition_holds(r, 2, a.kernel));
    EXPECT_EQ(simharness::read_file(r.state() + "/2ndfile/update_state_package").size(), 80u);
}

// A signed package that ends 64 bytes before the state block: its trailer
// reaches into the block, which the first state write would erase.
TEST(PackageEnd, ASignedPackageWhoseTrailerReachesTheStateBlockIsRefusedBeforeAnyErase)
{
    package_dir dir;
    const uint32_t packlen = 0x4200000 - 64;
    const uint32_t data_at = PACKAGE_HEAD_SIZE + 2 * PACKAGE_RECORD_SIZE;
    const std::string version = "zImage-9.0\n";
    bytes pkg(packlen, 0x5A);
    package_signature_t h{1, 2, 1, 2, 0, (int32_t)packlen, 0};
    encode_package_head(&h, pkg.data());
    package_record_t v{data_at, (uint32_t)version.size(), 0, PACKAGE_VERSION, 0, "version_info.txt"};
    // A boot image record pads the package: the driver logs it and moves on.
    package_record_t pad{data_at + (uint32_t)version.size(), packlen - data_at - (uint32_t)version.size(), 0,
                         PACKAGE_BOOT_IMAGE, 0, "boot.img"};
    encode_package_record(&v, pkg.data() + PACKAGE_HEAD_SIZE);
    encode_package_record(&pad, pkg.data() + PACKAGE_HEAD_SIZE + PACKAGE_RECORD_SIZE);
    std::copy(version.begin(), version.end(), pkg.begin() + data_at);
    std::string path = dir / "big.bin";
    ASSERT_TRUE(simharness::write_file(path, pkg));
    pkg = bytes();
    std::string pub = dir / "k.pub", sec = dir / "k.sec";
    ASSERT_EQ(run_tool({imgpack(), "keygen", pub, sec}), 0);
    // imgpack may refuse to sign such a package; the trailer is then put on
    // by hand from a signature minisign makes.
    if (run_tool({imgpack(), "sign", path, "--key", sec, "--comment", "big"}) != 0) {
        std::string body = dir / "body.bin";
        ASSERT_EQ(rename(path.c_str(), body.c_str()), 0);
        ASSERT_EQ(run_tool({"minisign", "-S", "-s", sec, "-m", body, "-x", body + ".minisig", "-t", "big"}), 0);
        std::string sig = simharness::read_file(body + ".minisig");
        std::string text = simharness::read_file(body);
        uint32_t n = (uint32_t)sig.size();
        text += std::string("IMGSIG01") + (char)(n & 0xFF) + (char)(n >> 8) + '\0' + '\0' + sig;
        ASSERT_TRUE(simharness::write_file(path, bytes(text.begin(), text.end())));
    }
    const uint64_t size = simharness::read_file(path).size();
    ASSERT_GT(size, 0x4200000u);

    sim_router r({"--key", pub});
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.load_package(path), 0);
    ASSERT_EQ(r.run({"imgrenew", "up"}, at_scale(20)), 0);
    EXPECT_EQ(r.status(), "0");
    EXPECT_EQ(syslog_count(r, "past the state block at 0x4200000 of the package partition: refused"), 1u)
        << r.out("syslog.log");
    char end_line[128];
    snprintf(end_line, sizeof end_line, "package and its signature end at package offset 0x%llx,",
             (unsigned long long)size);
    EXPECT_TRUE(r.syslog_contains(end_line)) << "the end named is the file's end";
    EXPECT_FALSE(r.syslog_contains("package signature verified"));
    EXPECT_FALSE(r.syslog_contains("##################update version_info.txt"));
    EXPECT_TRUE(r.syslog_contains("update system failed and will to reboot"));
    for (int mtd : {0, 2, 3, 4})
        EXPECT_TRUE(r.flash_erased(mtd, 0, 0x20000)) << "mtd" << mtd;
    EXPECT_EQ(r.second_fs_file("version/version_info.txt").find("9.0"), std::string::npos);
}

// Bytes of the package partition the run read below the state block, from
// the flash emulation's read log.
uint64_t package_bytes_read(const std::string &log)
{
    uint64_t total = 0;
    for (const std::string &line : simharness::read_lines(log)) {
        char dev[64] = "";
        unsigned long long off = 0, len = 0;
        if (sscanf(line.c_str(), "%63s %llx %llx", dev, &off, &len) == 3 && std::string(dev) == "/dev/mtd6" &&
            off < 0x4200000)
            total += len;
    }
    return total;
}

// A signed package with a modem container, installed from the package
// partition: the pass, the writes and the modem's images read it, and the
// container's check reuses the pass's CRCs.
TEST(PackageReads, ASignedUpgradeReadsThePackageAtMostTwice)
{
    modem_package pkg;
    std::string pub = pkg.dir / "k.pub", sec = pkg.dir / "k.sec";
    ASSERT_EQ(run_tool({imgpack(), "keygen", pub, sec}), 0);
    ASSERT_EQ(run_tool({imgpack(), "sign", pkg.path, "--key", sec, "--comment", "reads"}), 0);
    const uint64_t size = simharness::read_file(pkg.path).size();
    ASSERT_GT(size, 2800000u);

    sim_router r({"--key", pub});
    ASSERT_TRUE(r.ok());
    ASSERT_TRUE(load_for_upgrade(r, pkg));
    run_options o = with_modem(pkg);
    o.env = {"FLASHEMU_READ_LOG=/2ndfile/mtd-reads.log"};
    ASSERT_EQ(r.run({"imgrenew", "up"}, o), 0);
    EXPECT_TRUE(r.syslog_contains("package signature verified"));
    EXPECT_TRUE(r.syslog_contains("update system success and will to reboot"));
    EXPECT_TRUE(partition_holds(r, 2, pkg.kernel));
    EXPECT_TRUE(pkg.flash_holds("dsp2"));

    const uint64_t read = package_bytes_read(r.state() + "/2ndfile/mtd-reads.log");
    printf("package %llu bytes, read %llu bytes of it: %.2f per package byte\n", (unsigned long long)size,
           (unsigned long long)read, (double)read / (double)size);
    EXPECT_GE(read, size) << "the pass reads the whole package";
    EXPECT_LE(read, 2 * size);
}

} // namespace
