// What sits in "/tmp" before imgrenew up starts (planted links, files of
// another user, stale longer files, an old unpack folder) is neither written
// through, nor flashed, nor installed.
#include "upgrade_fixture.h"

using namespace sysrouter;

namespace {

// Runs as root inside the router, like any other process of it could.
const char k_plant[] =
    "echo precious > /2ndfile/victim; "
    "ln -s /2ndfile/victim /tmp/rm; "                       // a tool copy through a link
    "ln -s /2ndfile/victim /tmp/version_info.merge; "       // the merge's work file through a link
    "printf 'zImage-EVIL\\n' > /tmp/version_info.txt; chown 65534 /tmp/version_info.txt; "
    "head -c 3000000 /dev/zero | tr '\\000' 'Z' > /tmp/zImage; "   // a longer stale kernel
    "mkdir -p /tmp/2ndrootfs/webpage; echo planted > /tmp/2ndrootfs/webpage/planted.html; "
    "imgrenew up";

} // namespace

class PlantedTmp : public ::testing::TestWithParam<bool> {};

TEST_P(PlantedTmp, NothingThereBeforeIsWrittenThroughFlashedOrInstalled)
{
    const bool file_mode = GetParam();
    full_package pkg;
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(place_package(r, pkg.path, file_mode));
    simharness::run_options o;
    o.time_scale = 20;
    o.timeout_s = 600;
    o.file_mode_package = file_mode ? pkg.path : "";
    ASSERT_EQ(r.run({"sh", "-c", k_plant}, o), 0);

    EXPECT_EQ(r.status(), "0") << r.out("stdout");
    EXPECT_EQ(r.second_fs_file("victim"), "precious\n");
    std::string version = r.second_fs_file("version/version_info.txt");
    EXPECT_EQ(version.find("EVIL"), std::string::npos) << version;
    EXPECT_NE(version.find("zImage-2.0"), std::string::npos) << version;
    EXPECT_TRUE(partition_holds(r, 2, pkg.kernel));
    EXPECT_EQ(r.second_fs_file("webpage/planted.html"), "");
    EXPECT_EQ(r.second_fs_file("webpage/index.html"), "<html>new</html>\n");
}

INSTANTIATE_TEST_SUITE_P(BothModes, PlantedTmp, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return i.param ? "FileMode" : "PartitionMode";
                         });

TEST(RecordCount, InPartitionModeItIsBoundedByPacklenNotByThePartition)
{
    // 700000 descriptors need 58800028 bytes: less than the 128 MiB partition
    // and its 66 MiB before the state block, far more than the package.
    full_package pkg;
    patch_le32(pkg.path, 12, 700000);
    std::string text = simharness::read_file(pkg.path);
    sim_router r;
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.load_package(pkg.path), 0);
    simharness::run_options o;
    o.time_scale = 20;
    o.timeout_s = 600;
    ASSERT_EQ(r.run({"imgrenew", "up"}, o), 0);
    EXPECT_TRUE(r.syslog_contains("record count 700000 needs 58800028 bytes but the package holds only " +
                                  std::to_string(text.size()) + ", refused"))
        << r.out("syslog.log");
    expect_failed_bus(r.bus());
    EXPECT_TRUE(r.flash_erased(2, 0, 0x300000));
}
