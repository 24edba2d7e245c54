// Power cuts at random moments of a partition-mode upgrade: after each, a
// rerun must leave every partition equal to the package.
#include <chrono>
#include <cstdio>

#include "sample_every.h"
#include "upgrade_fixture.h"

using namespace sysrouter;
using simharness::run_options;

namespace {

constexpr double k_scale = 20;
constexpr int k_partition_cuts_raw = 70;      // 100 in partition mode in all
constexpr int k_partition_cuts_archive = 30;
constexpr int k_file_mode_cuts = 30;
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

run_options scaled(long kill_after_ms = -1, const std::string &file_mode_package = "")
{
    run_options o;
    o.time_scale = k_scale;
    o.timeout_s = 600;
    o.kill_after_ms = kill_after_ms;
    o.file_mode_package = file_mode_package;
    return o;
}

using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;

// The raw package: every partition holds its record.
AssertionResult raw_installed(const sim_router &r, const cut_package &pkg)
{
    for (auto part : {std::make_pair(0, &pkg.boot), std::make_pair(2, &pkg.kernel), std::make_pair(3, &pkg.rootfs),
                      std::make_pair(4, &pkg.second)}) {
        AssertionResult holds = partition_holds(r, part.first, *part.second);
        if (!holds)
            return holds;
    }
    return AssertionSuccess();
}

// The archive package: the partitions hold their records, the second file
// system its new files, and the version file names what is in flash.
AssertionResult archive_installed(const sim_router &r, const full_package &pkg)
{
    for (auto part : {std::make_pair(0, &pkg.boot), std::make_pair(2, &pkg.kernel), std::make_pair(3, &pkg.rootfs)}) {
        AssertionResult holds = partition_holds(r, part.first, *part.second);
        if (!holds)
            return holds;
    }
    if (r.second_fs_file("webpage/index.html") != "<html>new</html>\n")
        return AssertionFailure() << "web pages not installed";
    std::string version = r.second_fs_file("version/version_info.txt");
    if (version != "boot_nontrust.bin-2.0\nzImage-2.0\nrootfs.jffs2-2.0\ndefault_nv-2.0\ndfi_version-1.0.0\n")
        return AssertionFailure() << "version file is\n" << version;
    return AssertionSuccess();
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

struct cut_figures {
    int cuts = 0, during_run = 0, reruns = 0, recovered = 0;
};

// Cuts the power at `cuts` random moments of one upgrade, each followed by
// a rerun that must install the package; check() looks at the router.
template <typename Check>
cut_figures run_cuts(const char *label, const std::string &package, bool file_mode, int cuts, uint32_t seed,
                     Check check)
{
    cut_figures f;
    cuts = testkit::sampled_count(cuts);
    const std::string file_pkg = file_mode ? package : "";
    // One uncut run gives the span in which the cuts fall.
    long span_ms;
    {
        sim_router r;
        if (!file_mode) {
            EXPECT_EQ(r.load_package(package), 0);
        }
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(r.run({"imgrenew", "up"}, scaled(-1, file_pkg)), 0);
        span_ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(r.status(), "0");
        EXPECT_TRUE(check(r)) << label << " uncut run";
    }
    std::mt19937 gen(seed);
    std::uniform_int_distribution<long> pick(0, span_ms);
    printf("power cut, %s: seed %u, %d cuts within %ld ms of wall time at time scale %g:", label, seed, cuts,
           span_ms, k_scale);
    std::vector<long> points;
    for (int i = 0; i < cuts; ++i) {
        points.push_back(pick(gen));
        printf(" %ld", points.back());
    }
    printf("\n");

    for (long cut : points) {
        std::string what = std::string(label) + ": cut at " + std::to_string(cut) + " ms";
        sim_router r;
        if (!file_mode) {
            EXPECT_EQ(r.load_package(package), 0) << what;
        }
        EXPECT_EQ(r.run({"imgrenew", "up"}, scaled(cut, file_pkg)), 0) << what;
        ++f.cuts;
        f.during_run += r.status() == "killed";
        printf("  %s: last step before the cut: %s\n", what.c_str(), last_step(r).c_str());
        EXPECT_EQ(r.out("flash-faults.log"), "") << what;

        EXPECT_EQ(r.run({"imgrenew", "up"}, scaled(-1, file_pkg)), 0) << what;
        ++f.reruns;
        EXPECT_EQ(r.status(), "0") << what;
        expect_reboot_requested(r.bus());
        EXPECT_EQ(r.out("flash-faults.log"), "") << what << ": rerun wrote over unerased flash";
        AssertionResult installed = check(r);
        EXPECT_TRUE(installed) << what;
        f.recovered += r.status() == "0" && installed && r.out("flash-faults.log").empty();
    }
    printf("power cut, %s: %d cuts (%d during the run), %d reruns, %d left everything equal to the "
           "package, %d failed\n",
           label, f.cuts, f.during_run, f.reruns, f.recovered, f.reruns - f.recovered);
    return f;
}

} // namespace

TEST(PowerCut, PartitionModeRerunAfterACutAtAnyMomentInstallsThePackage)
{
    cut_package raw;
    full_package archive;
    run_cuts("partition mode, raw second file system", raw.path, false, k_partition_cuts_raw, k_seed,
             [&raw](const sim_router &r) { return raw_installed(r, raw); });
    run_cuts("partition mode, second file system archive", archive.path, false, k_partition_cuts_archive,
             k_seed + 1,
             [&archive](const sim_router &r) { return archive_installed(r, archive); });
}

TEST(PowerCut, FileModeRerunAfterACutAtAnyMomentInstallsThePackage)
{
    full_package archive;
    run_cuts("file mode", archive.path, true, k_file_mode_cuts, k_seed + 2,
             [&archive](const sim_router &r) { return archive_installed(r, archive); });
}
