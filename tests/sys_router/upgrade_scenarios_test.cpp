// imgrenew up end to end in the simulated router: both package locations,
// failing records, resume state and hostile packages.
#include <filesystem>
#include <map>
#include <ostream>

#include "upgrade_fixture.h"

using namespace sysrouter;
using simharness::run_options;

namespace {

constexpr double k_scale = 20;

run_options fast(const std::string &file_mode_package = "")
{
    run_options o;
    o.time_scale = k_scale;
    o.timeout_s = 600;
    o.file_mode_package = file_mode_package;
    return o;
}

// Every file of the second file system with its contents.
std::map<std::string, std::string> snapshot_2ndfile(const sim_router &r)
{
    std::map<std::string, std::string> files;
    std::string root = r.state() + "/2ndfile";
    for (auto &e : std::filesystem::recursive_directory_iterator(root)) {
        std::string rel = e.path().string().substr(root.size());
        files[rel] = e.is_regular_file() ? simharness::read_file(e.path().string()) : "<dir>";
    }
    return files;
}

void expect_router_partitions_untouched(const sim_router &r)
{
    EXPECT_TRUE(partition_untouched(r, 0, 0x80000)) << "bootloader partition written";
    EXPECT_TRUE(partition_untouched(r, 2, 0x300000)) << "kernel partition written";
    EXPECT_TRUE(partition_untouched(r, 3, 0x2000000)) << "root file system partition written";
    EXPECT_TRUE(partition_untouched(r, 4, 0x1000000)) << "second file system partition written";
}

// Loads the package, sets the step state an interrupted run of it left (the
// state word and the record of its package), and runs imgrenew up. Call through ASSERT_NO_FATAL_FAILURE.
void resume_from(sim_router &r, const full_package &pkg, const char *state)
{
    ASSERT_EQ(r.load_package(pkg.path), 0);
    ASSERT_EQ(r.run({"imgrenew", "set", state}, fast()), 0);
    ASSERT_NO_FATAL_FAILURE(record_state_package(r, pkg.path));
    ASSERT_EQ(r.run(up_then_probe(), fast()), 0);
    EXPECT_EQ(r.status(), "0");
    // A set step bit means a run of this package installed the component
    // (full_package has no modem record, so no state is an automatic value
    // here): its line comes from the package. dfi_version is never installed.
    EXPECT_EQ(r.second_fs_file("version/version_info.txt"),
              "boot_nontrust.bin-2.0\nzImage-2.0\nrootfs.jffs2-2.0\ndefault_nv-2.0\n"
              "dfi_version-1.0.0\n");
}

} // namespace

class FullUpgrade : public ::testing::TestWithParam<bool> {};

TEST_P(FullUpgrade, InstallsEveryComponentAndAsksForTheReboot)
{
    const bool file_mode = GetParam();
    full_package pkg;
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(place_package(r, pkg.path, file_mode));
    ASSERT_EQ(r.run(up_then_probe(), fast(file_mode ? pkg.path : "")), 0);

    EXPECT_EQ(r.status(), "0") << r.out("stderr");
    EXPECT_NE(r.out("stdout").find("REBOOT_FLAG_PRESENT"), std::string::npos)
        << "/tmp/up_reboot_flag.txt missing after a successful upgrade";
    EXPECT_TRUE(r.syslog_contains("update system success and will to reboot"));

    EXPECT_TRUE(partition_holds(r, 0, pkg.boot));
    EXPECT_TRUE(partition_holds(r, 2, pkg.kernel));
    EXPECT_TRUE(partition_holds(r, 3, pkg.rootfs));

    EXPECT_EQ(r.second_fs_file("webpage/index.html"), "<html>new</html>\n");
    EXPECT_EQ(r.second_fs_file("lcdui/logo.bin"), "new logo\n");
    std::string store = r.second_fs_file("nv/nv_store.cfg");
    EXPECT_NE(store.find("web_language_select=fr"), std::string::npos) << store;
    EXPECT_NE(store.find("wifi_ssid=NewRouter"), std::string::npos) << store;

    // Installed components take the package's line; dfi_version was not
    // installed, so its text comes from the router's old file.
    std::string version = r.second_fs_file("version/version_info.txt");
    for (const char *line : {"boot_nontrust.bin-2.0\n", "zImage-2.0\n", "rootfs.jffs2-2.0\n",
                             "default_nv-2.0\n"})
        EXPECT_NE(version.find(line), std::string::npos) << line << " missing in\n" << version;
    EXPECT_EQ(version.find("dfi_version-2.0"), std::string::npos) << version;
    EXPECT_NE(version.find("dfi_version"), std::string::npos) << version;

    expect_successful_bus(r.bus());
    EXPECT_EQ(r.out("flash-faults.log"), "");

    std::string tools = r.out("tools.log");
    if (file_mode) {
        EXPECT_NE(tools.find("flash_erase /dev/mtd2 0 24"), std::string::npos) << tools;
        EXPECT_NE(tools.find("flash_erase /dev/mtd3 0 256"), std::string::npos) << tools;
        EXPECT_NE(tools.find("nandwrite -m -p /dev/mtd2 /tmp/zImage"), std::string::npos) << tools;
        EXPECT_NE(tools.find("nandwrite -m -p /dev/mtd3 /tmp/rootfs.jffs2"), std::string::npos) << tools;
    } else {
        EXPECT_EQ(tools.find("flash_erase"), std::string::npos) << tools;
        // The package partition is cleared once the factory data has a copy.
        EXPECT_TRUE(r.flash_erased(6, 0, 0x8000000));
        EXPECT_EQ(r.second_fs_file("factory_nv").size(), 0x20000u);
    }
}

INSTANTIATE_TEST_SUITE_P(BothModes, FullUpgrade, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return i.param ? "FileMode" : "PartitionMode";
                         });

TEST(FailingRecord, ReportsTheFailureCleansUpAndAsksForTheReboot)
{
    full_package pkg(true, false);   // the archive lacks nv/default.cfg
    sim_router r;
    ASSERT_EQ(r.load_package(pkg.path), 0);
    ASSERT_EQ(r.run(up_then_probe(), fast()), 0);

    EXPECT_EQ(r.status(), "0");
    EXPECT_TRUE(r.syslog_contains("updte 2nd file system error"));
    EXPECT_TRUE(r.syslog_contains("update system failed and will to reboot"));
    EXPECT_EQ(r.out("stdout").find("REBOOT_FLAG_PRESENT"), std::string::npos);
    expect_failed_bus(r.bus());
    // What came before the failing record stays written; the package is gone.
    EXPECT_TRUE(partition_holds(r, 2, pkg.kernel));
    EXPECT_TRUE(r.flash_erased(6, 0, 0x8000000));
    EXPECT_EQ(r.out("flash-faults.log"), "");
}

TEST(NoVersionRecord, InstallsTheRecordsThenFailsForTheMissingVersionFile)
{
    full_package pkg(false);
    sim_router r;
    ASSERT_EQ(r.load_package(pkg.path), 0);
    std::string old_version = r.second_fs_file("version/version_info.txt");
    ASSERT_EQ(r.run(up_then_probe(), fast()), 0);

    EXPECT_EQ(r.status(), "0");
    EXPECT_TRUE(r.syslog_contains(" version info file does not exist."));
    EXPECT_TRUE(r.syslog_contains("update system failed and will to reboot"));
    EXPECT_TRUE(partition_holds(r, 3, pkg.rootfs));
    EXPECT_EQ(r.second_fs_file("version/version_info.txt"), old_version);
    expect_reboot_requested(r.bus());
}

TEST(ResumeState, AStateOf60SkipsEveryRouterRecord)
{
    full_package pkg;
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(resume_from(r, pkg, "60"));

    EXPECT_TRUE(r.syslog_contains("had update image is:60"));
    expect_router_partitions_untouched(r);
    EXPECT_EQ(r.out("tools.log"), "") << "no flash tool may run";
    EXPECT_EQ(r.second_fs_file("webpage/index.html").find("new"), std::string::npos);
    expect_successful_bus(r.bus());
}

TEST(ResumeState, AResumedRunNamesWhatTheInterruptedRunInstalled)
{
    // The interrupted run had installed the bootloader and the kernel.
    full_package pkg;
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(resume_from(r, pkg, "12"));

    EXPECT_TRUE(partition_untouched(r, 2, 0x300000)) << "the kernel was written again";
    EXPECT_TRUE(partition_holds(r, 3, pkg.rootfs));
}

TEST(ModemRecord, RandomBytesAreNoContainerAndNeverPassAsInstalled)
{
    package_dir dir;
    dir.put("zImage", random_bytes(5000, 5));
    dir.put("modem.bin", random_bytes(4000, 6));
    std::string pkg = dir.build("record kernel zImage 0 zImage\n"
                                "record modem modem.bin 0 modem.bin\n");
    sim_router r;
    ASSERT_EQ(r.load_package(pkg), 0);
    ASSERT_EQ(r.run(up_then_probe(), fast()), 0);

    EXPECT_EQ(r.status(), "0");
    // An erased state word with a modem record in the package reads as "router done".
    EXPECT_TRUE(r.syslog_contains("had update image is:60"));
    EXPECT_TRUE(partition_untouched(r, 2, 0x300000));
    EXPECT_TRUE(r.syslog_contains("this file is not a validate modem firmware file."));
    EXPECT_TRUE(r.syslog_contains("update modem image failed"));
    EXPECT_TRUE(r.syslog_contains("update system failed and will to reboot"));
    EXPECT_EQ(r.out("stdout").find("REBOOT_FLAG_PRESENT"), std::string::npos);
    for (const bus_message &m : r.bus())
        EXPECT_NE(m.module == k_ui ? m.payload.at("operation") : 0, 2) << "completion reported";
    expect_reboot_requested(r.bus());
}

// A package that must be refused whole: nothing erased, no tool run, no file
// written outside /tmp, and the usual failure clean-up and reboot.
struct hostile_case {
    const char *name;
    void (*spoil)(const std::string &pkg);
    bool file_mode;
};

// Test names and failure reports show the case's name, not its bytes.
void PrintTo(const hostile_case &c, std::ostream *os)
{
    *os << c.name << (c.file_mode ? " (file mode)" : " (partition mode)");
}

class HostilePackage : public ::testing::TestWithParam<hostile_case> {};

TEST(HostilePackageName, PrintsAsTheCaseName)
{
    EXPECT_EQ(::testing::PrintToString(hostile_case{"RootfsPastTheEnd", nullptr, true}),
              "RootfsPastTheEnd (file mode)");
}

TEST_P(HostilePackage, IsRefusedBeforeAnythingIsTouched)
{
    full_package pkg;
    GetParam().spoil(pkg.path);
    sim_router r;
    if (!GetParam().file_mode) {
        ASSERT_EQ(r.load_package(pkg.path), 0);
    }
    auto before = snapshot_2ndfile(r);
    ASSERT_EQ(r.run(up_then_probe(), fast(GetParam().file_mode ? pkg.path : "")), 0);

    EXPECT_EQ(r.status(), "0");
    EXPECT_EQ(r.out("stdout").find("PWNED"), std::string::npos) << "a command from the package ran";
    expect_router_partitions_untouched(r);
    EXPECT_EQ(r.out("tools.log"), "");
    EXPECT_EQ(r.out("flash-faults.log"), "");
    expect_failed_bus(r.bus());

    auto after = snapshot_2ndfile(r);
    for (const char *f : {"/factory_nv", "/update_flag", "/image_path"}) {
        before.erase(f);
        after.erase(f);
    }

    EXPECT_EQ(after, before) << "the second file system changed";
}

namespace {

void rootfs_past_the_end(const std::string &p) { patch_le32(p, record_field(3, 4), 0x1000000); }

void rootfs_into_the_state_block(const std::string &p)
{
    patch_le32(p, 20, 0x4300000);                     // packlen claims 67 MiB
    patch_le32(p, record_field(3, 4), 0x1FF0000);     // fits its partition
    patch_le32(p, record_field(3, 0), 0x2300000);     // and ends past 0x4200000
}

void last_record_cut(const std::string &p)
{
    std::string text = simharness::read_file(p);
    simharness::write_file(p, std::vector<uint8_t>(text.begin(), text.end() - 1));
}

void absurd_record_count(const std::string &p) { patch_le32(p, 12, 0x7FFFFFFF); }

void set_record_name(const std::string &p, size_t index, const std::string &name)
{
    std::string text = simharness::read_file(p);
    std::vector<uint8_t> bytes(text.begin(), text.end());
    uint8_t *field = bytes.data() + record_field(index, 20);
    std::fill(field, field + PACKAGE_NAME_SIZE, 0);
    std::copy(name.begin(), name.end(), field);
    simharness::write_file(p, bytes);
}

void command_in_bootloader_name(const std::string &p) { set_record_name(p, 1, "a;touch /tmp/pwned"); }
void version_name_climbs_out(const std::string &p) { set_record_name(p, 0, "../2ndfile/pwned"); }
void second_fs_of_unknown_kind(const std::string &p) { patch_le32(p, record_field(4, 8), 2); }

} // namespace

INSTANTIATE_TEST_SUITE_P(
    Driver, HostilePackage,
    ::testing::Values(hostile_case{"RootfsPastTheEnd", rootfs_past_the_end, false},
                      hostile_case{"RootfsPastTheEndFileMode", rootfs_past_the_end, true},
                      hostile_case{"RootfsIntoTheStateBlock", rootfs_into_the_state_block, false},
                      hostile_case{"LastRecordCutFileMode", last_record_cut, true},
                      hostile_case{"AbsurdRecordCount", absurd_record_count, false},
                      hostile_case{"CommandInABootloaderName", command_in_bootloader_name, false},
                      hostile_case{"CommandInABootloaderNameFileMode", command_in_bootloader_name, true},
                      hostile_case{"VersionNameClimbsOutOfTmp", version_name_climbs_out, false},
                      hostile_case{"SecondFileSystemOfUnknownKind", second_fs_of_unknown_kind, false}),
    [](const ::testing::TestParamInfo<hostile_case> &i) { return std::string(i.param.name); });
