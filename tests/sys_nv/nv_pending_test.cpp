// A pending NV backup (the block file of a modem step that flashed the modem
// and did not finish) is the only copy of the modem's items: it survives a
// refused container, a package that does not preserve NV, a working file
// that cannot be made, a short high-NV file and a silent modem, and is
// removed only by a restore that every record confirmed.
#include <sys/stat.h>

#include "nv_fixture.h"
#include "scratch_dir.h"

using namespace sysnv;

namespace {

constexpr double k_scale = 40;

// The situation the faults start from: an NV-preserving upgrade whose five
// attempts all failed after the flash had wiped the modem (every DSP1
// transfer refused), so /2ndfile/modem_nv is pending and the modem holds
// none of its items.
void fail_after_wipe(sim_router *r, const modem_package &pkg)
{
    seed_store(pkg);
    pkg.modem_faults("fail-image dsp1 *\n");
    ASSERT_NO_FATAL_FAILURE(load_and_up(*r, pkg, k_scale));
    ASSERT_TRUE(r->syslog_contains("update modem failed and retry 3 times")) << r->out("stderr");
    ASSERT_EQ(r->second_fs_file("modem_nv").size(), 262144u);
    const loss l = count_lost(pkg);
    ASSERT_EQ(l.nv, 330);
    ASSERT_EQ(l.rf, 6);
    ASSERT_EQ(l.identity, 4);
    pkg.modem_faults("");
}

void expect_backup_kept(const sim_router &r, const std::string &what)
{
    EXPECT_EQ(r.second_fs_file("modem_nv").size(), 262144u) << what << ": the pending backup was removed";
    EXPECT_TRUE(exists(r.state() + "/2ndfile/high_nv")) << what << ": the high-NV file was removed";
}

// A rerun of the same package on a modem that now answers: the pending
// backup is restored, every value is back and the backup is gone.
void rerun_restores_everything(sim_router *r, const modem_package &pkg, const std::string &what)
{
    ASSERT_NO_FATAL_FAILURE(load_and_up(*r, pkg, k_scale)) << what;
    EXPECT_TRUE(r->syslog_contains("mu_restore_nv success.")) << what;
    expect_nothing_lost(pkg, what);
    expect_backup_gone(*r);
}

// Options of a run with another package on the same modem.
simharness::run_options on_modem_of(const modem_package &pkg)
{
    return with_modem(pkg, k_scale);
}

} // namespace

TEST(NvPending, RefusedContainerRestoresThePendingBackupBeforeTheStepEnds)
{
    modem_package pkg(NV_INI);
    sim_router r;
    fail_after_wipe(&r, pkg);

    modem_package refused("modem_version ZMR_V200\nmagic 0x4D444F4E\n");
    ASSERT_NO_FATAL_FAILURE(load_and_up(r, refused, on_modem_of(pkg)));
    expect_logged(r, {"this file is not a validate modem firmware file.",
                      "mu_restore_nv success.",
                      "reset failed!",
                      "update modem image failed"});
    expect_nothing_lost(pkg, "refused container");
    expect_backup_gone(r);
}

TEST(NvPending, PackageWithoutPreservationFlashesThenRestoresThePendingBackup)
{
    modem_package pkg(NV_INI);
    sim_router r;
    fail_after_wipe(&r, pkg);

    // A package that flashes without preserving NV, onto a modem whose
    // flash does not touch its NV file system.
    modem_package plain("modem_version ZMR_V200\nefs_include 0\nefs_restore 0\nversion_check 1\n");
    pkg.dir.put("modem/flash_wipe", "none\n");
    ASSERT_NO_FATAL_FAILURE(load_and_up(r, plain, on_modem_of(pkg)));
    // The modem is half-flashed: the package completes it, every image,
    // and the pending backup goes back after the flash.
    EXPECT_TRUE(r.syslog_contains("an earlier modem update did not finish (its NV backup was not restored yet): "
                                  "every image is flashed again"));
    EXPECT_TRUE(r.syslog_contains("mu_restore_nv success."));
    EXPECT_TRUE(r.syslog_contains("modem update successful,please reset the comuter!"));
    EXPECT_FALSE(r.syslog_contains("backup modem NV success")) << "this package asks for no backup";
    expect_nothing_lost(pkg, "package without preservation");
    expect_backup_gone(r);
    EXPECT_EQ(simharness::read_file(pkg.modem_state + "/flash/amss"),
              std::string(plain.data("amss").begin(), plain.data("amss").end()))
        << "the package was not flashed after the restore";
}

TEST(NvPending, WorkingFileThatCannotBeMadeFailsTheStepAndKeepsTheBackup)
{
    modem_package pkg(NV_INI);
    sim_router r;
    fail_after_wipe(&r, pkg);

    // A folder planted at /tmp/nv_bak: the backup is unpacked there.
    scratch_dir tmp;
    ASSERT_EQ(mkdir((tmp / "nv_bak").c_str(), 0755), 0);
    ASSERT_TRUE(load_for_upgrade(r, pkg));
    simharness::run_options o = with_modem(pkg, k_scale);
    o.tmp_dir = tmp.path;
    ASSERT_EQ(r.run({"imgrenew", "up"}, o), 0);
    EXPECT_TRUE(r.syslog_contains("an earlier modem update did not finish: the images it did not store are flashed"));
    EXPECT_FALSE(r.syslog_contains("damaged"));
    EXPECT_TRUE(r.syslog_contains("after update, resoter NV failed"));
    expect_backup_kept(r, "working file");

    rerun_restores_everything(&r, pkg, "rerun with a usable /tmp");
}

TEST(NvPending, EmptyOrShortHighNvFileFailsTheRestoreAndKeepsTheBackup)
{
    // The AMSS image names the new version: after the failed step the modem
    // runs it, so each rerun is the restore alone.
    modem_package pkg(NV_INI, "ZMR_V200");
    sim_router r;
    fail_after_wipe(&r, pkg);
    const std::string high = r.state() + "/2ndfile/high_nv";
    const std::string whole = simharness::read_file(high);
    ASSERT_EQ(whole.size(), 896u);   // six records: 4 + 40, 4 + 7, 4 + 12, 4 + 300, 4 + 1, 4 + 512

    struct {
        size_t keep;
        const char *line;
    } cases[] = {
        {0, "holds 0 items in 0 bytes, the backup recorded 6 in 896"},
        {44, "holds 1 items in 44 bytes, the backup recorded 6 in 896"},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(simharness::write_file(high, bytes(whole.begin(), whole.begin() + (long)c.keep)));
        ASSERT_NO_FATAL_FAILURE(load_and_up(r, pkg, k_scale));
        const std::string what = "high_nv of " + std::to_string(c.keep) + " bytes";
        EXPECT_TRUE(r.syslog_contains(c.line)) << what;
        EXPECT_TRUE(r.syslog_contains("after update, resoter NV failed")) << what;
        EXPECT_FALSE(r.syslog_contains("mu_restore_nv success.")) << what;
        expect_backup_kept(r, what);
        EXPECT_EQ(count_lost(pkg).rf, 6) << what;
    }

    ASSERT_TRUE(simharness::write_file(high, bytes(whole.begin(), whole.end())));
    rerun_restores_everything(&r, pkg, "whole high_nv");
}

TEST(NvPending, RestoreToASilentModemEndsInBoundedTimeAndKeepsTheBackup)
{
    modem_package pkg(NV_INI, "ZMR_V200");
    sim_router r;
    fail_after_wipe(&r, pkg);

    // No NV write is ever answered. Each unanswered record would otherwise
    // cost five receive timeouts: hours for the 330 records.
    pkg.modem_faults("drop nv-write *\n");
    ASSERT_TRUE(load_for_upgrade(r, pkg));
    simharness::run_options o = with_modem(pkg, k_scale);
    o.timeout_s = 1800;
    ASSERT_EQ(r.run({"imgrenew", "up"}, o), 0);
    EXPECT_EQ(r.status(), "0") << "the restore did not end within 1800 simulated seconds";
    EXPECT_EQ(sysmodem::syslog_count(r, "no answer to the write of NV record 0: the modem is silent"), 3u);
    EXPECT_TRUE(r.syslog_contains("after update, resoter NV failed"));
    expect_backup_kept(r, "silent modem");
}

TEST(NvPending, DamagedBlockOfAModemOnTheNewFirmwareIsSetAsideUnderANewName)
{
    modem_package pkg(NV_INI);
    pkg.modem_version("ZMR_V200");
    seed_store(pkg);
    sim_router r;
    ASSERT_TRUE(load_for_upgrade(r, pkg));
    bytes block(262144, 0);
    block[3] = 0x80;   // nv_size 0x80000000: negative
    const bytes high = {0x01, 0x02, 0x03};
    const bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    ASSERT_TRUE(simharness::write_file(r.state() + "/2ndfile/modem_nv", block));
    ASSERT_TRUE(simharness::write_file(r.state() + "/2ndfile/high_nv", high));
    ASSERT_TRUE(simharness::write_file(r.state() + "/2ndfile/modem_nv.damaged-1", earlier));

    ASSERT_EQ(r.run({"imgrenew", "up"}, with_modem(pkg, k_scale)), 0);
    expect_logged(r, {"the modem NV backup left by an earlier update is damaged, setting it aside",
                      "damaged NV backup /2ndfile/modem_nv set aside as /2ndfile/modem_nv.damaged-2",
                      "the curren modem version is same with update firmware",
                      "update system success and will to reboot"});
    EXPECT_TRUE(r.second_fs_file("modem_nv.damaged-2") == std::string(block.begin(), block.end()))
        << "the damaged block is not kept as it was";
    EXPECT_EQ(r.second_fs_file("high_nv.damaged-2"), "\x01\x02\x03");
    EXPECT_EQ(r.second_fs_file("modem_nv.damaged-1"), "earlier") << "an earlier damaged block was overwritten";
    expect_backup_gone(r);
    expect_nothing_lost(pkg, "modem on the new firmware");
}

TEST(NvPending, BackupWithoutAnyNvRecordFlashesNothing)
{
    modem_package pkg(NV_INI);
    seed_store(pkg);
    // The modem answers every NV read with "not set".
    pkg.modem_faults("status nv-read * 5\n");
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(load_and_up(r, pkg, k_scale));
    EXPECT_EQ(sysmodem::syslog_count(r, "the NV backup holds no NV record (548 bytes): it is no backup"), 3u);
    EXPECT_TRUE(r.syslog_contains("backup modem NV failed"));
    EXPECT_TRUE(r.syslog_contains("update modem image failed"));
    EXPECT_TRUE(nothing_flashed(pkg));
    expect_backup_gone(r);
    expect_nothing_lost(pkg, "backup without records");
}
