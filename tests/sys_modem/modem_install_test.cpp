// A package with router records and a modem container installed end to end
// in the simulated router with the virtual modem.
#include "modem_fixture.h"

using namespace sysmodem;

namespace {

// Copies of sleep play the router's processes that hold the modem; a
// watcher notes in /2ndfile/stopped each one that has ended (or waits as a
// zombie for its parent). Then imgrenew up.
std::vector<std::string> up_with_modem_users(const sim_router &r)
{
    const std::string script =
        "for p in kq_wm modem_pro udhcpc; do\n"
        "  cp /bin/sleep /tmp/$p; /tmp/$p 5000 & pid=$!\n"
        "  ( while [ -e /proc/$pid ] && ! grep -q '^State:.*[ZX]' /proc/$pid/status; do sleep 0.5; done\n"
        "    echo $p >>/2ndfile/stopped ) &\n"
        "done\n"
        "imgrenew up\n";
    simharness::write_file(r.state() + "/2ndfile/start_modem_users.sh", bytes(script.begin(), script.end()));
    return {"sh", "/2ndfile/start_modem_users.sh"};
}

// The progress figures the tool logged between two syslog lines.
std::vector<int> figures_between(const sim_router &r, const std::string &from, const std::string &to)
{
    std::vector<int> out;
    bool inside = false;
    const std::string mark = "update step message:state=1-----step=";
    for (const std::string &l : r.syslog()) {
        inside = inside || l.find(from) != std::string::npos;
        if (inside && l.find(to) != std::string::npos)
            break;
        if (inside && l.find(mark) != std::string::npos)
            out.push_back(atoi(l.c_str() + l.find(mark) + mark.size()));
    }
    return out;
}

// Loads the package, runs imgrenew up, and the run leaves state 0. Call
// through ASSERT_NO_FATAL_FAILURE.
void up_succeeds(sim_router &r, const modem_package &pkg)
{
    ASSERT_NO_FATAL_FAILURE(load_and_up(r, pkg));
    EXPECT_EQ(r.status(), "0") << r.out("stderr");
}

void expect_router_records_installed(const sim_router &r, const modem_package &pkg)
{
    EXPECT_TRUE(sysrouter::partition_holds(r, 2, pkg.kernel));
    EXPECT_TRUE(sysrouter::partition_holds(r, 3, pkg.rootfs));
}

void expect_every_image_flashed(const sim_router &r, const modem_package &pkg, bool efs_included = false)
{
    for (const char *type : {"hex", "partition", "dbl", "osbl", "amss", "dsp1", "dsp2"})
        EXPECT_TRUE(pkg.flash_holds(type)) << type << " is not byte-exact in the modem's flash";
    const bytes &fsbl = pkg.data("fsbl");
    EXPECT_EQ(r.second_fs_file("fsbl.mbn"), std::string(fsbl.begin(), fsbl.end()));
    EXPECT_FALSE(pkg.modem_has("flash/fsbl")) << "the FSBL went to the modem";
    EXPECT_EQ(pkg.modem_log_count("(fsbl)"), 0u) << "the FSBL went to the modem";
    if (efs_included) {
        EXPECT_TRUE(pkg.flash_holds("efs")) << "the EFS is not byte-exact in the modem's flash";
    } else {
        // efs_include 0: the EFS is read past, not sent.
        EXPECT_FALSE(pkg.modem_has("flash/efs"));
    }
}

} // namespace

TEST(ModemInstall, FullPackageInstallsEveryImageThenAsksForTheReboot)
{
    // efs_include 1: the EFS is flashed, around a backup and restore of
    // the modem's NV items.
    modem_package pkg("modem_version ZMR_V200\nefs_include 1\n");
    // The modem holds one NV item: a backup without any would be no backup.
    pkg.dir.put("modem/nv/524", std::string(128, 'n'));
    sim_router r;
    ASSERT_TRUE(r.ok());
    ASSERT_TRUE(load_for_upgrade(r, pkg));
    // An older, longer fail-safe boot loader copy from an earlier upgrade.
    ASSERT_TRUE(simharness::write_file(r.state() + "/2ndfile/fsbl.mbn", random_bytes(50000, 40)));
    ASSERT_EQ(r.run(up_with_modem_users(r), with_modem(pkg)), 0);

    EXPECT_EQ(r.status(), "0") << r.out("stderr");
    EXPECT_TRUE(r.syslog_contains("modem update successful,please reset the comuter!"));
    EXPECT_TRUE(r.syslog_contains("update system success and will to reboot"));
    expect_router_records_installed(r, pkg);
    expect_every_image_flashed(r, pkg, true);
    EXPECT_TRUE(r.syslog_contains("backup modem NV success"));
    EXPECT_TRUE(r.syslog_contains("mu_restore_nv success."));
    EXPECT_EQ(r.second_fs_file("modem_nv"), "") << "the backup was not removed after its restore";
    EXPECT_EQ(pkg.modem_log_count("power off"), 1u) << "one power cycle before the flashing";
    EXPECT_EQ(syslog_count(r, "will to do NO 1 retry downlaod"), 0u);

    // The router's processes that hold the modem were stopped.
    std::string stopped = r.second_fs_file("stopped");
    for (const char *name : {"kq_wm", "modem_pro", "udhcpc"})
        EXPECT_NE(stopped.find(name), std::string::npos) << name << " still runs; stopped:\n" << stopped;
    EXPECT_TRUE(r.syslog_contains("will to kill kq_wm process"));

    sysrouter::expect_successful_bus(r.bus());
    // DSP2 is most of the package: its progress comes block by block.
    std::vector<int> in_dsp2 = figures_between(r, "This is a DSP2 image.", "downlaod Dsp2 file success.");
    std::vector<int> distinct = in_dsp2;
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    EXPECT_GE(distinct.size(), 3u) << "figures during DSP2: " << ::testing::PrintToString(in_dsp2);
    EXPECT_TRUE(std::is_sorted(in_dsp2.begin(), in_dsp2.end()));
}

TEST(ModemInstall, Dsp1RefusedOnceIsSentAgainAfterOnePowerCycleWithoutTheInstalledImages)
{
    modem_package pkg;
    pkg.modem_faults("fail-image dsp1 1\n");
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(up_succeeds(r, pkg));

    EXPECT_TRUE(r.syslog_contains("downlaod Dsp1 file faield."));
    EXPECT_EQ(pkg.modem_log_count("power off"), 2u) << "the first power cycle and one for the retry";
    EXPECT_TRUE(r.syslog_contains("will to do NO 1 retry downlaod"));
    EXPECT_FALSE(r.syslog_contains("will to do NO 2 retry downlaod"));
    // The second attempt sends the programmer and the partition table again,
    // skips DBL, FSBL, OSBL and AMSS, and ends on the table's end mark.
    EXPECT_EQ(syslog_count(r, "this sub image had beend update"), 4u);
    EXPECT_EQ(pkg.modem_log_count("programmer of 5000 bytes started"), 2u);
    EXPECT_EQ(pkg.modem_log_count("open type=0x0f"), 1u) << "DBL sent twice";
    EXPECT_EQ(pkg.modem_log_count("open type=0x10"), 1u) << "OSBL sent twice";
    EXPECT_EQ(pkg.modem_log_count("open type=0x05"), 1u) << "AMSS sent twice";
    EXPECT_EQ(pkg.modem_log_count("open type=0x0d"), 2u) << "DSP1 not retried";
    EXPECT_TRUE(r.syslog_contains("all sub image had beend update"));
    expect_every_image_flashed(r, pkg);
    expect_router_records_installed(r, pkg);
    sysrouter::expect_successful_bus(r.bus());
}

TEST(ModemInstall, DroppedRefusedAndCorruptedStreamAnswersAreRecoveredBlockByBlock)
{
    modem_package pkg;
    // The DBL's blocks at 2, 4 and 5 KiB: the answer lost on the way, a NAK,
    // an answer with a wrong check sequence.
    pkg.modem_faults("drop stream-write@0x800 1\n"
                     "nak stream-write@0x1000 1\n"
                     "badfcs stream-write@0x1400 1\n");
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(up_succeeds(r, pkg));

    EXPECT_EQ(pkg.modem_log_count("fault drop stream-write"), 1u);
    EXPECT_EQ(pkg.modem_log_count("fault nak stream-write"), 1u);
    EXPECT_EQ(pkg.modem_log_count("fault badfcs"), 1u);
    // The lost answer and the NAK make the tool send the block again; the
    // answer with a bad check sequence still names the block's address,
    // which is all a stream-write answer is judged by.
    EXPECT_EQ(syslog_count(r, "the error write_addr is : 0x800"), 1u);
    EXPECT_EQ(syslog_count(r, "the error write_addr is : 0x1000"), 1u);
    EXPECT_FALSE(r.syslog_contains("will to do NO 1 retry downlaod")) << "a block retry is enough";
    expect_every_image_flashed(r, pkg);
    sysrouter::expect_successful_bus(r.bus());
}

TEST(ModemVersion, ModemRunningTheConfiguredVersionIsNotFlashed)
{
    modem_package pkg("modem_version ZMR_V200\nversion_check 1\n");
    pkg.modem_version("ZMR_V200");
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(up_succeeds(r, pkg));

    EXPECT_TRUE(r.syslog_contains("no need to update current modem firmware"));
    EXPECT_TRUE(r.syslog_contains("the curren modem version is same with update firmware"));
    EXPECT_TRUE(nothing_flashed(pkg));
    EXPECT_EQ(pkg.modem_log_count("power off"), 1u);
    expect_router_records_installed(r, pkg);
    sysrouter::expect_successful_bus(r.bus());
}

TEST(ModemVersion, OnlyTheEfsDiffersSoTheBaseImagesAreSkipped)
{
    // The modem runs the same image with another EFS: ZMR_V200 is the image
    // part of ZMR_V200_EFS3.
    modem_package pkg("modem_version ZMR_V200_EFS3\n");
    pkg.modem_version("ZMR_V200_EFS2");
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(up_succeeds(r, pkg));

    EXPECT_TRUE(r.syslog_contains("imageversion=ZMR_V200"));
    EXPECT_TRUE(r.syslog_contains("need to update current modem firmware"));
    EXPECT_EQ(syslog_count(r, "this sub image had beend update"), 6u);
    EXPECT_TRUE(r.syslog_contains("all sub image had beend update"));
    EXPECT_TRUE(pkg.flash_holds("hex"));
    EXPECT_TRUE(pkg.flash_holds("partition"));
    for (const char *name : {"dbl", "osbl", "amss", "dsp1", "dsp2", "fsbl", "efs"})
        EXPECT_FALSE(pkg.modem_has(std::string("flash/") + name)) << name << " was sent";
    EXPECT_EQ(r.second_fs_file("fsbl.mbn"), "") << "the FSBL copy was made";
    sysrouter::expect_successful_bus(r.bus());
}
