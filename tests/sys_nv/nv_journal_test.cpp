// Sequences of runs on one router and one modem: a modem flash is one
// transaction, open from its journal's first write until the modem holds
// every image and every value is back. Whatever package, fault or cut comes
// in between, no value is lost and no half-flashed modem is reported
// installed.
#include <sys/stat.h>

#include <filesystem>

#include "nv_fixture.h"

using namespace sysnv;
using sysmodem::load_for_upgrade;
using sysmodem::syslog_count;

namespace {

constexpr double k_scale = 40;

// The modem's journal of an open flash.
constexpr char JOURNAL[] = "/2ndfile/modem_journal";

simharness::run_options on_modem(const modem_package &pkg)
{
    return sysmodem::with_modem(pkg, k_scale);
}

simharness::run_options cut_at(const modem_package &pkg, const char *cut)
{
    simharness::run_options o = on_modem(pkg);
    o.modem_power_cut = cut;
    return o;
}

// Runs imgrenew up with pkg loaded, on the modem of `modem` (by default the
// package's own).
void up(sim_router &r, const modem_package &pkg, const modem_package &modem)
{
    ASSERT_TRUE(load_for_upgrade(r, pkg));
    ASSERT_EQ(r.run({"imgrenew", "up"}, on_modem(modem)), 0);
}

bool installed(const sim_router &r) { return r.verdict().rfind("result: installed", 0) == 0; }

bool journal_open(const sim_router &r) { return testkit::exists(r.state() + JOURNAL); }

// The NV-preserving package that names ZMR_V200 in its AMSS image, on a
// modem that runs ZMR_V100 with a seeded store, cut when the third image
// (the AMSS, after DBL and OSBL) is stored: the modem reports the new
// version but lacks DSP1, DSP2 and EFS, and its values are wiped.
struct cut_after_version_image {
    modem_package pkg{NV_INI, "ZMR_V200"};
    sim_router r;
    void run()
    {
        pkg.modem_version("ZMR_V100");
        seed_store(pkg);
        ASSERT_TRUE(load_for_upgrade(r, pkg));
        ASSERT_EQ(r.run({"imgrenew", "up"}, cut_at(pkg, "image:3")), 0);
        ASSERT_EQ(r.status(), "killed");
        ASSERT_TRUE(pkg.flash_holds("amss"));
        ASSERT_FALSE(pkg.modem_has("flash/dsp1"));
        ASSERT_EQ(count_lost(pkg).total(), 340);
    }
};

// The modem holds every image of pkg byte for byte.
void expect_modem_holds(const modem_package &pkg, bool efs)
{
    for (const char *type : {"partition", "dbl", "osbl", "amss", "dsp1", "dsp2"})
        EXPECT_TRUE(pkg.flash_holds(type)) << type << " is not byte-exact in the modem's flash";
    if (efs) {
        EXPECT_TRUE(pkg.flash_holds("efs")) << "efs is not byte-exact in the modem's flash";
    }
}

// An upgrade whose five attempts all failed after the flash had wiped the
// modem (every DSP1 transfer refused): the backup is pending, the journal
// open, the modem holds none of its values.
void fail_after_wipe(sim_router *r, const modem_package &pkg)
{
    seed_store(pkg);
    pkg.modem_faults("fail-image dsp1 *\n");
    ASSERT_NO_FATAL_FAILURE(up(*r, pkg, pkg));
    ASSERT_TRUE(r->syslog_contains("update modem failed and retry 3 times")) << r->out("stderr");
    ASSERT_EQ(r->second_fs_file("modem_nv").size(), 262144u);
    ASSERT_EQ(count_lost(pkg).total(), 340);
    pkg.modem_faults("");
}

// A package of router records and no modem record, built in the folder of
// `files` (a package of its own: a build replaces the folder's package).
std::string router_only_package(const modem_package &files)
{
    return files.dir.build("record version version_info.txt 0 version_info.txt\n"
                           "record kernel zImage 0 zImage\n"
                           "record rootfs rootfs.jffs2 0 rootfs.jffs2\n");
}

} // namespace

TEST(NvJournal, CutAfterTheVersionImageThenAPackageWithoutPreservationCompletesTheModem)
{
    cut_after_version_image s;
    ASSERT_NO_FATAL_FAILURE(s.run());
    // Another container of the same version that does not preserve NV, on
    // a modem whose flash wipes nothing more.
    modem_package plain("modem_version ZMR_V200\nefs_include 0\nefs_restore 0\nversion_check 1\n", "ZMR_V200");
    s.pkg.dir.put("modem/flash_wipe", "none\n");
    ASSERT_NO_FATAL_FAILURE(up(s.r, plain, s.pkg));
    EXPECT_FALSE(s.r.syslog_contains("no need to update current modem firmware"));
    EXPECT_TRUE(s.r.syslog_contains("an earlier modem update did not finish (its NV backup was not restored yet): "
                                    "every image is flashed again"));
    EXPECT_TRUE(installed(s.r)) << s.r.verdict();
    for (const char *type : {"partition", "dbl", "osbl", "amss", "dsp1", "dsp2"})
        EXPECT_EQ(simharness::read_file(s.pkg.modem_state + "/flash/" + type),
                  std::string(plain.data(type).begin(), plain.data(type).end()))
            << type << " of the package is not in the modem";
    expect_nothing_lost(s.pkg, "package without preservation");
    expect_backup_gone(s.r);
    EXPECT_FALSE(journal_open(s.r));
}

TEST(NvJournal, CutAfterTheVersionImageThenARefusedContainerThenThePackageCompletesTheModem)
{
    cut_after_version_image s;
    ASSERT_NO_FATAL_FAILURE(s.run());
    modem_package refused("modem_version ZMR_V200\nmagic 0x4D444F4E\n");
    ASSERT_NO_FATAL_FAILURE(up(s.r, refused, s.pkg));
    EXPECT_FALSE(installed(s.r)) << s.r.verdict();
    EXPECT_TRUE(s.r.syslog_contains("modem update unfinished: this package carries no usable modem firmware to "
                                    "complete it (modem journal /2ndfile/modem_journal, phase flashing, container ZMR_V200)"));
    // The pending backup went back into the modem that answered.
    expect_nothing_lost(s.pkg, "refused container");
    EXPECT_TRUE(journal_open(s.r));

    // The preserving package again: the modem reports ZMR_V200, but the
    // images DSP1, DSP2 and EFS are flashed, around a fresh backup.
    ASSERT_NO_FATAL_FAILURE(up(s.r, s.pkg, s.pkg));
    EXPECT_FALSE(s.r.syslog_contains("no need to update current modem firmware"));
    EXPECT_TRUE(installed(s.r)) << s.r.verdict();
    expect_modem_holds(s.pkg, true);
    // DBL and OSBL were confirmed before the cut: they are not sent again.
    EXPECT_EQ(s.pkg.modem_log_count("image dbl stored"), 1u) << "the DBL image was stored again";
    EXPECT_EQ(s.pkg.modem_log_count("image osbl stored"), 1u) << "the OSBL image was stored again";
    expect_nothing_lost(s.pkg, "rerun");
    expect_backup_gone(s.r);
    EXPECT_FALSE(journal_open(s.r));
}

TEST(NvJournal, CutAfterTheVersionImageThenADamagedBlockIsNeverReportedInstalled)
{
    cut_after_version_image s;
    ASSERT_NO_FATAL_FAILURE(s.run());
    // One byte of the block's header: nv_size becomes negative.
    std::string block = s.r.second_fs_file("modem_nv");
    block[3] = (char)0x80;
    ASSERT_TRUE(simharness::write_file(s.r.state() + "/2ndfile/modem_nv", bytes(block.begin(), block.end())));
    ASSERT_NO_FATAL_FAILURE(up(s.r, s.pkg, s.pkg));
    EXPECT_TRUE(s.r.syslog_contains("damaged NV backup /2ndfile/modem_nv set aside as /2ndfile/modem_nv.damaged-1"));
    EXPECT_FALSE(s.r.syslog_contains("no need to update current modem firmware"));
    EXPECT_FALSE(installed(s.r)) << s.r.verdict();
    // The wiped modem gives no backup, so nothing more is sent: the DSP
    // images and EFS are still missing and the journal says so.
    EXPECT_FALSE(s.pkg.modem_has("flash/dsp1"));
    EXPECT_TRUE(journal_open(s.r));
    EXPECT_EQ(s.r.second_fs_file("modem_nv.damaged-1").size(), 262144u);
    EXPECT_EQ(s.r.second_fs_file("high_nv.damaged-1").size(), 896u);
    // The high-NV file is the one the journal recorded: the RF calibration
    // is back, the NV items and identity stay in the set-aside block.
    EXPECT_TRUE(s.r.syslog_contains("the modem NV backup is lost or damaged: its high-priority NV items are restored "
                                    "from /2ndfile/high_nv.damaged-1, its NV items and identity are not (kept in "
                                    "/2ndfile/modem_nv.damaged-1)"));
    const loss after = count_lost(s.pkg);
    EXPECT_EQ(after.rf, 0);
    EXPECT_EQ(after.nv, 330);
    EXPECT_EQ(after.identity, 4);

    // A later run finds the pair by the journal's record, and still fails.
    for (const rf_item &item : RF_ITEMS)
        ASSERT_EQ(unlink(rf_file(s.pkg, item.item).c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(up(s.r, s.pkg, s.pkg));
    EXPECT_FALSE(installed(s.r)) << s.r.verdict();
    EXPECT_EQ(count_lost(s.pkg).rf, 0);
    EXPECT_TRUE(journal_open(s.r));
    EXPECT_EQ(s.r.second_fs_file("high_nv.damaged-1").size(), 896u);

    // One byte changed in the kept high-NV file: it is not the recorded
    // one, and nothing of it goes into the modem.
    std::string high = s.r.second_fs_file("high_nv.damaged-1");
    high[10] = (char)(high[10] ^ 0x01);
    ASSERT_TRUE(simharness::write_file(s.r.state() + "/2ndfile/high_nv.damaged-1", bytes(high.begin(), high.end())));
    for (const rf_item &item : RF_ITEMS)
        ASSERT_EQ(unlink(rf_file(s.pkg, item.item).c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(up(s.r, s.pkg, s.pkg));
    EXPECT_FALSE(installed(s.r)) << s.r.verdict();
    EXPECT_EQ(count_lost(s.pkg).rf, 6);
    EXPECT_FALSE(s.r.syslog_contains("its high-priority NV items are restored"));
    EXPECT_TRUE(journal_open(s.r));
}

TEST(NvJournal, AnItemReadFailingOnceIsAskedAgainAndOneFailingAlwaysFailsTheBackup)
{
    // NV item 524 and RF NV item 20207 answer status 4 on their first read.
    {
        modem_package pkg(NV_INI);
        seed_store(pkg);
        pkg.modem_faults("status nv-read@524 1 4\nstatus rfnv-read@20207 1 4\n");
        sim_router r;
        ASSERT_NO_FATAL_FAILURE(up(r, pkg, pkg));
        EXPECT_TRUE(installed(r)) << r.verdict();
        EXPECT_TRUE(r.syslog_contains("NV item 524 read failed with status 4, asked again"));
        expect_nothing_lost(pkg, "reads failing once");
        expect_backup_gone(r);
    }
    // Always: the backup fails before anything is flashed.
    for (const char *rule : {"status nv-read@524 * 4\n", "status rfnv-read@20207 * 4\n"}) {
        SCOPED_TRACE(rule);
        modem_package pkg(NV_INI);
        seed_store(pkg);
        pkg.modem_faults(rule);
        sim_router r;
        ASSERT_NO_FATAL_FAILURE(up(r, pkg, pkg));
        EXPECT_FALSE(installed(r)) << r.verdict();
        EXPECT_TRUE(r.syslog_contains("backup modem NV failed"));
        EXPECT_TRUE(nothing_flashed(pkg));
        expect_nothing_lost(pkg, rule);
        expect_backup_gone(r);
        EXPECT_FALSE(journal_open(r));
    }
}

TEST(NvJournal, AnRfItemLongerThanABackupRecordFailsTheBackup)
{
    modem_package pkg(NV_INI);
    seed_store(pkg);
    const bytes long_item = random_bytes(600, 4242);
    ASSERT_TRUE(simharness::write_file(rf_file(pkg, 21242), long_item));
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(up(r, pkg, pkg));
    EXPECT_TRUE(r.syslog_contains("RF NV item 21242 holds 600 bytes, more than a backup record holds (512): the backup fails"));
    EXPECT_FALSE(installed(r)) << r.verdict();
    EXPECT_TRUE(nothing_flashed(pkg));
    EXPECT_EQ(simharness::read_file(rf_file(pkg, 21242)), std::string(long_item.begin(), long_item.end()));
    EXPECT_EQ(count_lost(pkg).nv, 0);
    EXPECT_EQ(count_lost(pkg).identity, 0);
}

TEST(NvJournal, APendingBackupIsNeverRestoredIntoAnotherModem)
{
    modem_package pkg(NV_INI);
    sim_router r;
    fail_after_wipe(&r, pkg);
    const std::string block = r.second_fs_file("modem_nv");

    // Another modem is attached: its own IMEI and values.
    modem_package other(NV_INI);
    other.dir.put("modem/identity", "sn=SN000111\nimei=869999999999999\ntestinf=RF:OTHER\nsimlock=0\ninds=\n");
    const bytes its_524 = random_bytes(128, 5);
    mkdir((other.modem_state + "/nv").c_str(), 0755);
    other.dir.put("modem/nv/524", its_524);
    ASSERT_NO_FATAL_FAILURE(up(r, pkg, other));
    EXPECT_TRUE(r.syslog_contains("another modem is attached (IMEI 869999999999999, the modem NV backup is of IMEI "
                                  "861234567890123): nothing is flashed or restored, the backup is kept"));
    EXPECT_FALSE(installed(r)) << r.verdict();
    EXPECT_TRUE(nothing_flashed(other));
    EXPECT_EQ(simharness::read_file(other.modem_state + "/nv/524"), std::string(its_524.begin(), its_524.end()));
    const std::vector<std::string> id = simharness::read_lines(other.modem_state + "/identity");
    EXPECT_NE(std::find(id.begin(), id.end(), "imei=869999999999999"), id.end());
    EXPECT_NE(std::find(id.begin(), id.end(), "sn=SN000111"), id.end());
    EXPECT_TRUE(r.second_fs_file("modem_nv") == block) << "the backup was not kept as it was";

    // Its own modem back: the transaction completes.
    ASSERT_NO_FATAL_FAILURE(up(r, pkg, pkg));
    EXPECT_TRUE(installed(r)) << r.verdict();
    expect_nothing_lost(pkg, "own modem");
    expect_backup_gone(r);
}

TEST(NvJournal, TheIdentityIsReadWheneverNvIsPreservedAsTheIniKeysAsk)
{
    // efs_include 1 with efs_restore 0 preserves the NV items: the identity
    // is read too.
    {
        modem_package pkg("modem_version ZMR_V200\nefs_include 1\nefs_restore 0\n"
                          "SN 1\nIMEI 1\nTESTINF 1\nSIMLOCK 1,46000\n");
        seed_store(pkg);
        sim_router r;
        ASSERT_NO_FATAL_FAILURE(up(r, pkg, pkg));
        EXPECT_TRUE(installed(r)) << r.verdict();
        expect_nothing_lost(pkg, "efs_restore 0");
    }
    // An INI without the SN key: the other identity items are still read.
    {
        modem_package pkg("modem_version ZMR_V200\nefs_include 1\nefs_restore 1\n"
                          "omit SN\nIMEI 1\nTESTINF 1\nSIMLOCK 1,46000\n");
        seed_store(pkg);
        sim_router r;
        ASSERT_NO_FATAL_FAILURE(up(r, pkg, pkg));
        EXPECT_TRUE(installed(r)) << r.verdict();
        const std::vector<std::string> id = simharness::read_lines(pkg.modem_state + "/identity");
        for (const char *want : {"imei=861234567890123", "testinf=RF:PASS1", "simlock=1,46000"})
            EXPECT_NE(std::find(id.begin(), id.end(), want), id.end()) << want;
        EXPECT_NE(std::find(id.begin(), id.end(), "sn="), id.end()) << "the SN the INI did not ask for";
        EXPECT_EQ(count_lost(pkg).nv, 0);
    }
}

TEST(NvJournal, UpKeepsAManualHighNvBackupAndRemovesLeftoversOfInterruptedWrites)
{
    modem_package pkg(NV_INI);
    seed_store(pkg);
    sim_router r;
    ASSERT_EQ(r.run({"imgrenew", "nv_get"}, on_modem(pkg)), 0);
    const std::string manual = r.second_fs_file("high_nv");
    ASSERT_EQ(manual.size(), 896u);
    ASSERT_TRUE(simharness::write_file(r.state() + "/2ndfile/modem_nv.new", bytes(100, 1)));
    ASSERT_TRUE(simharness::write_file(r.state() + "/2ndfile/modem_journal.new", bytes(7, 2)));

    ASSERT_NO_FATAL_FAILURE(up(r, pkg, pkg));
    EXPECT_TRUE(installed(r)) << r.verdict();
    EXPECT_TRUE(r.syslog_contains("/2ndfile/high_nv belongs to no NV backup: kept as /2ndfile/high_nv.kept-1"));
    EXPECT_TRUE(r.second_fs_file("high_nv.kept-1") == manual) << "the manual backup was not kept as it was";
    EXPECT_FALSE(testkit::exists(r.state() + "/2ndfile/modem_nv.new"));
    EXPECT_FALSE(testkit::exists(r.state() + "/2ndfile/modem_journal.new"));
    expect_nothing_lost(pkg, "with a manual backup");
    expect_backup_gone(r);
}

TEST(NvJournal, AValueTheModemRefusesIsOnlyRestoredAgainAndARefusingModemEndsInBoundedTime)
{
    modem_package pkg(NV_INI);
    seed_store(pkg);
    // The new firmware refuses item 524.
    pkg.modem_faults("status nv-write@524 * 4\n");
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(up(r, pkg, pkg));
    EXPECT_FALSE(installed(r)) << r.verdict();
    EXPECT_TRUE(r.syslog_contains("NV item 524 was not restored: the modem refused it"));
    EXPECT_EQ(pkg.modem_log_count("image dsp2 stored"), 1u);
    EXPECT_EQ(count_lost(pkg).total(), 1);

    // The rerun only restores: no image is sent again.
    ASSERT_NO_FATAL_FAILURE(up(r, pkg, pkg));
    EXPECT_TRUE(r.syslog_contains("an earlier modem update stored every image: its NV backup is restored"));
    EXPECT_EQ(pkg.modem_log_count("image dsp2 stored"), 1u) << "the images were flashed again";
    EXPECT_EQ(pkg.modem_log_count("attach download"), 1u) << "the modem was switched to download mode again";
    EXPECT_FALSE(installed(r)) << r.verdict();
    EXPECT_EQ(r.second_fs_file("modem_nv").size(), 262144u);

    // A modem that refuses every write, then one that answers none: each
    // run ends within 15 simulated minutes, the backup kept.
    const char *identity_refused = "nak at-kqtsn *\nnak at-testinf2 *\nnak at-nwlset *\nnak at-disk *\n";
    pkg.modem_faults(std::string("status nv-write * 4\nstatus rfnv-write * 6\n") + identity_refused);
    ASSERT_TRUE(load_for_upgrade(r, pkg));
    simharness::run_options o = on_modem(pkg);
    o.timeout_s = 900;
    ASSERT_EQ(r.run({"imgrenew", "up"}, o), 0);
    EXPECT_EQ(r.verdict().rfind("result: failed", 0), 0u) << r.verdict();
    EXPECT_EQ(syslog_count(r, "the modem refused 5 NV records in a row: the restore stops"), 3u);
    EXPECT_EQ(r.second_fs_file("modem_nv").size(), 262144u);
    pkg.modem_faults("drop nv-write *\ndrop rfnv-write *\ndrop at-kqtsn *\ndrop at-testinf2 *\n"
                     "drop at-nwlset *\ndrop at-disk *\n");
    ASSERT_TRUE(load_for_upgrade(r, pkg));
    ASSERT_EQ(r.run({"imgrenew", "up"}, o), 0);
    EXPECT_EQ(r.verdict().rfind("result: failed", 0), 0u) << r.verdict();
    EXPECT_EQ(syslog_count(r, "no answer to the write of NV record 0: the modem is silent"), 3u);
    EXPECT_EQ(r.second_fs_file("modem_nv").size(), 262144u);

    // The firmware takes the value again: the transaction completes.
    pkg.modem_faults("");
    ASSERT_NO_FATAL_FAILURE(up(r, pkg, pkg));
    EXPECT_TRUE(installed(r)) << r.verdict();
    expect_nothing_lost(pkg, "after the refusals");
    expect_backup_gone(r);
    EXPECT_FALSE(journal_open(r));
}

TEST(NvJournal, ADamagedHighNvFileDoesNotStopTheRestoreOfTheNvItemsAndIdentity)
{
    modem_package pkg(NV_INI);
    sim_router r;
    fail_after_wipe(&r, pkg);
    std::string high = r.second_fs_file("high_nv");
    ASSERT_EQ(high.size(), 896u);
    high[100] = (char)(high[100] ^ 0x01);
    ASSERT_TRUE(simharness::write_file(r.state() + "/2ndfile/high_nv", bytes(high.begin(), high.end())));

    ASSERT_NO_FATAL_FAILURE(up(r, pkg, pkg));
    EXPECT_FALSE(installed(r)) << r.verdict();
    EXPECT_TRUE(r.syslog_contains("the high-priority NV items of the backup were not restored: /2ndfile/high_nv is "
                                  "damaged, the backup is kept"));
    const loss l = count_lost(pkg);
    EXPECT_EQ(l.nv, 0);
    EXPECT_EQ(l.identity, 0);
    EXPECT_EQ(l.rf, 6);
    EXPECT_EQ(r.second_fs_file("modem_nv").size(), 262144u);
    EXPECT_TRUE(r.second_fs_file("high_nv") == high) << "the high-NV file was not kept as it was";
    EXPECT_TRUE(journal_open(r));
}

TEST(NvJournal, AFailedFlashThenARouterOnlyPackageRestoresTheModemAndFails)
{
    modem_package pkg(NV_INI);
    sim_router r;
    fail_after_wipe(&r, pkg);

    modem_package router_files;
    const std::string router_only = router_only_package(router_files);
    ASSERT_EQ(r.load_package(router_only), 0);
    ASSERT_EQ(r.run({"imgrenew", "set", "0"}), 0);
    ASSERT_EQ(r.run({"imgrenew", "up"}, on_modem(pkg)), 0);
    EXPECT_FALSE(installed(r)) << r.verdict();
    EXPECT_TRUE(sysrouter::partition_holds(r, 2, router_files.kernel)) << "the router was not installed";
    EXPECT_TRUE(r.syslog_contains("an earlier modem update did not finish and this package carries no modem firmware"));
    EXPECT_TRUE(r.syslog_contains("mu_restore_nv success."));
    EXPECT_TRUE(r.syslog_contains("modem update unfinished: this package carries no usable modem firmware to "
                                  "complete it (modem journal /2ndfile/modem_journal, phase flashing, container ZMR_V200)"));
    expect_nothing_lost(pkg, "router-only package");
    EXPECT_TRUE(journal_open(r));

    // The modem package completes it.
    ASSERT_NO_FATAL_FAILURE(up(r, pkg, pkg));
    EXPECT_TRUE(installed(r)) << r.verdict();
    expect_modem_holds(pkg, true);
    expect_nothing_lost(pkg, "completed");
    EXPECT_FALSE(journal_open(r));
}

TEST(NvJournal, TheVersionFileTakesTheModemLineOnceTheModemIsFlashedAndRestored)
{
    modem_package pkg(NV_INI);
    seed_store(pkg);
    sim_router r;
    ASSERT_EQ(r.second_fs_file("version/version_info.txt").find("modem=dfi_version-1.0.0\n") != std::string::npos,
              true);
    ASSERT_NO_FATAL_FAILURE(up(r, pkg, pkg));
    ASSERT_TRUE(installed(r)) << r.verdict();
    const std::string v = r.second_fs_file("version/version_info.txt");
    EXPECT_EQ(v, "zImage-2.0\nrootfs.jffs2-2.0\ndfi_version-2.0\n");
}

TEST(NvJournal, CutDuringTheRestoreThenARefusedContainerThenThePackageEndsTheTransaction)
{
    modem_package pkg(NV_INI, "ZMR_V200");
    pkg.modem_version("ZMR_V100");
    seed_store(pkg);
    sim_router r;
    ASSERT_TRUE(load_for_upgrade(r, pkg));
    ASSERT_EQ(r.run({"imgrenew", "up"}, cut_at(pkg, "nv-write:10")), 0);
    ASSERT_EQ(r.status(), "killed");

    // The refused container's run puts the backup back and removes it; the
    // journal stays: the transaction is not ended.
    modem_package refused("modem_version ZMR_V200\nmagic 0x4D444F4E\n");
    ASSERT_NO_FATAL_FAILURE(up(r, refused, pkg));
    EXPECT_FALSE(installed(r)) << r.verdict();
    expect_nothing_lost(pkg, "refused container");
    expect_backup_gone(r);
    EXPECT_TRUE(journal_open(r));

    // Every image is stored and every value back: the package ends it
    // without another flash or restore.
    const size_t switches = pkg.modem_log_count("attach download");
    ASSERT_NO_FATAL_FAILURE(up(r, pkg, pkg));
    EXPECT_TRUE(installed(r)) << r.verdict();
    EXPECT_TRUE(r.syslog_contains("modem update successful,please reset the comuter!"));
    EXPECT_EQ(pkg.modem_log_count("attach download"), switches);
    expect_nothing_lost(pkg, "ended");
    EXPECT_FALSE(journal_open(r));
}

TEST(NvJournal, AFlashWithoutPreservationCutOnOneModemIsNeverFinishedOnAnother)
{
    // A container that does not preserve NV, cut when the AMSS image is
    // stored: no backup exists, only the journal names the modem.
    const char *plain_ini = "modem_version ZMR_V200\nefs_include 0\nefs_restore 0\nversion_check 1\n";
    modem_package pkg(plain_ini, "ZMR_V200");
    pkg.modem_version("ZMR_V100");
    seed_store(pkg);
    sim_router r;
    ASSERT_TRUE(load_for_upgrade(r, pkg));
    ASSERT_EQ(r.run({"imgrenew", "up"}, cut_at(pkg, "image:3")), 0);
    ASSERT_EQ(r.status(), "killed");
    ASSERT_TRUE(journal_open(r));
    ASSERT_FALSE(pkg.modem_has("flash/dsp1"));

    // Another modem is attached: the rest of the images would leave it
    // without DBL, OSBL and AMSS, reported installed.
    modem_package other(plain_ini, "ZMR_V200");
    other.modem_version("ZMR_V100");
    other.dir.put("modem/identity", "sn=SN000111\nimei=869999999999999\ntestinf=RF:OTHER\nsimlock=0\ninds=\n");
    ASSERT_NO_FATAL_FAILURE(up(r, pkg, other));
    EXPECT_TRUE(r.syslog_contains("another modem is attached (IMEI 869999999999999, the modem NV backup is of IMEI "
                                  "861234567890123): nothing is flashed or restored, the backup is kept"));
    EXPECT_FALSE(installed(r)) << r.verdict();
    EXPECT_TRUE(nothing_flashed(other));
    EXPECT_TRUE(journal_open(r));

    // Its own modem back: the transaction completes.
    ASSERT_NO_FATAL_FAILURE(up(r, pkg, pkg));
    EXPECT_TRUE(installed(r)) << r.verdict();
    expect_modem_holds(pkg, false);
    EXPECT_FALSE(journal_open(r));
}
