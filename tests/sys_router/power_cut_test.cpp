// Power cuts at random moments of a partition-mode upgrade: after each, a
// rerun must leave every partition equal to the package.
#include <chrono>
#include <cstdio>

#include "upgrade_fixture.h"

using namespace sysrouter;
using simharness::run_options;

namespace {

constexpr double k_scale = 20;
constexpr int k_cuts = 30;
constexpr uint32_t k_seed = 20240601;

// Version, bootloader, kernel, root file system and a raw second file system
// image: every partition the router has, and no modem record (a modem record
// turns an erased state word into "router done").
struct cut_package {
    package_dir dir;
    std::vector<uint8_t> boot = random_bytes(70000, 11);
    std::vector<uint8_t> kernel = random_bytes(400000, 12);
    std::vector<uint8_t> rootfs = random_bytes(1500000, 13);
    std::vector<uint8_t> second = random_bytes(300000, 14);
    std::string path;
    cut_package()
    {
        dir.put("boot.bin", boot);
        dir.put("zImage", kernel);
        dir.put("rootfs.jffs2", rootfs);
        dir.put("2ndfs.img", second);
        dir.put("version_info.txt", "zImage-3.0\n");
        path = dir.build("record version version_info.txt 0 version_info.txt\n"
                         "record bootloader boot_nontrust.bin 0 boot.bin\n"
                         "record kernel zImage 0 zImage\n"
                         "record rootfs rootfs.jffs2 0 rootfs.jffs2\n"
                         "record 2ndfs 2ndfs.img 0 2ndfs.img\n");
    }
};

run_options scaled(long kill_after_ms = -1)
{
    run_options o;
    o.time_scale = k_scale;
    o.timeout_s = 600;
    o.kill_after_ms = kill_after_ms;
    return o;
}

void expect_package_installed(const sim_router &r, const cut_package &pkg, const std::string &what)
{
    EXPECT_TRUE(partition_holds(r, 0, pkg.boot)) << what;
    EXPECT_TRUE(partition_holds(r, 2, pkg.kernel)) << what;
    EXPECT_TRUE(partition_holds(r, 3, pkg.rootfs)) << what;
    EXPECT_TRUE(partition_holds(r, 4, pkg.second)) << what;
}

// The last step the cut run had logged, to show where the cuts fell.
std::string last_step(const sim_router &r)
{
    std::string step = "(nothing logged)";
    for (const std::string &line : r.syslog()) {
        for (const char *mark : {"##################update ", "begin to erase mtd", "begin to write",
                                 "set update state", "backup factory NV", "erase old fixed",
                                 "will to reboot", "send message update step"}) {
            size_t at = line.find(mark);
            if (at != std::string::npos)
                step = line.substr(line.find(']') + 1, 60);
        }
    }
    return step;
}

} // namespace

TEST(PowerCut, ARerunAfterACutAtAnyMomentInstallsThePackage)
{
    cut_package pkg;

    // One uncut run gives the span in which the cuts fall.
    long span_ms;
    {
        sim_router r;
        ASSERT_EQ(r.load_package(pkg.path), 0);
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(r.run({"imgrenew", "up"}, scaled()), 0);
        span_ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0).count();
        ASSERT_EQ(r.status(), "0");
        expect_package_installed(r, pkg, "uncut run");
    }

    std::mt19937 gen(k_seed);
    std::uniform_int_distribution<long> pick(0, span_ms);
    printf("power cut: seed %u, %d cuts within %ld ms of wall time at time scale %g:", k_seed,
           k_cuts, span_ms, k_scale);
    std::vector<long> cuts;
    for (int i = 0; i < k_cuts; ++i) {
        cuts.push_back(pick(gen));
        printf(" %ld", cuts.back());
    }
    printf("\n");

    int cut_during_run = 0, recovered = 0;
    for (long cut : cuts) {
        std::string what = "cut at " + std::to_string(cut) + " ms";
        sim_router r;
        ASSERT_EQ(r.load_package(pkg.path), 0) << what;
        ASSERT_EQ(r.run({"imgrenew", "up"}, scaled(cut)), 0) << what;
        bool killed = r.status() == "killed";
        cut_during_run += killed;
        printf("  %s: last step before the cut: %s\n", what.c_str(), last_step(r).c_str());
        EXPECT_EQ(r.out("flash-faults.log"), "") << what;

        ASSERT_EQ(r.run({"imgrenew", "up"}, scaled()), 0) << what;
        EXPECT_EQ(r.status(), "0") << what;
        expect_reboot_requested(r.bus());
        EXPECT_EQ(r.out("flash-faults.log"), "") << what << ": rerun wrote over unerased flash";
        expect_package_installed(r, pkg, what);
        if (!::testing::Test::HasFailure())
            ++recovered;
    }
    printf("power cut: %d of %d cuts fell during the run; %d of %d reruns left every partition "
           "equal to the package\n", cut_during_run, k_cuts, recovered, k_cuts);
}
