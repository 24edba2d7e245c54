// imgrenew up with a container that asks for NV preservation, in the
// simulated router with a virtual modem whose NV store is seeded: the items
// survive the flash, and a backup or restore that fails never loses them.
#include "nv_fixture.h"

using namespace sysnv;

namespace {

// The NV-preserving container, whose AMSS makes the modem run ZMR_V200
// after its flash, for a modem with a seeded store.
struct seeded_package : modem_package {
    seeded_package() : modem_package(NV_INI, "ZMR_V200") { seed_store(*this); }
};

// A first run whose restore is refused for item 1814 in every attempt: the
// modem is flashed, the backup is kept and the step fails.
void run_with_unconfirmed_item(sim_router *r, const modem_package &pkg)
{
    pkg.modem_faults("status nv-write@1814 *\n");
    ASSERT_NO_FATAL_FAILURE(load_and_up(*r, pkg, 40));
    EXPECT_TRUE(r->syslog_contains("call mu_restore_nv failed"));
    EXPECT_TRUE(r->syslog_contains("update modem image failed"));
    EXPECT_FALSE(r->syslog_contains("modem update successful,please reset the comuter!"));
    EXPECT_EQ(r->second_fs_file("modem_nv").size(), 262144u) << "the only backup was removed";
    EXPECT_TRUE(pkg.flash_holds("amss"));
    EXPECT_FALSE(exists(nv_file(pkg, 1814))) << "an unconfirmed write was stored";
    EXPECT_EQ(count_lost(pkg).nv, 1) << "the other items are written";
    EXPECT_GE(pkg.modem_log_count("fault status nv-write item=1814"), 3u) << "each restore attempt tries it";
}

} // namespace

TEST(NvPreserve, FullPackageKeepsEveryItemAndIdentityValueAndEndsOnline)
{
    seeded_package pkg;
    ASSERT_EQ(preserved_items().size(), 330u);
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(load_and_up(r, pkg));

    EXPECT_EQ(r.status(), "0") << r.out("stderr");
    expect_logged(r, {"backup modem NV success",
                      "modem update successful,please reset the comuter!",
                      "update system success and will to reboot"});
    EXPECT_EQ(pkg.modem_log_count("NV wiped: 330 NV items, 6 RF NV items"), 1u) << "the flash wiped the store";
    EXPECT_EQ(pkg.modem_log_count("identity wiped"), 1u);
    expect_nothing_lost(pkg, "full package");
    for (const char *type : {"hex", "partition", "dbl", "osbl", "amss", "dsp1", "dsp2", "efs"})
        EXPECT_TRUE(pkg.flash_holds(type)) << type << " is not byte-exact in the modem's flash";
    expect_backup_gone(r);
    EXPECT_EQ(last_function_level(pkg), "1") << "the modem is not online";
    EXPECT_TRUE(sysrouter::partition_holds(r, 2, pkg.kernel));
    sysrouter::expect_successful_bus(r.bus());
}

TEST(NvPreserve, BackupThatFailsFlashesNothingAndRemovesTheBackup)
{
    seeded_package pkg;
    // The modem falls silent at the 40th NV exchange of every attempt and
    // stays so until a power cycle, which the backup does not make.
    pkg.modem_faults("silent nv 40\n");
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(load_and_up(r, pkg, 40));

    EXPECT_EQ(r.status(), "0") << r.out("stderr");
    expect_logged(r, {"backup NV failed and retry 3 timse", "backup modem NV failed", "update modem image failed"});
    EXPECT_TRUE(nothing_flashed(pkg));
    expect_backup_gone(r);
    expect_nothing_lost(pkg, "failed backup");
    sysmodem::expect_failed_upgrade_bus(r.bus());
}

TEST(NvPreserve, UnconfirmedRecordFailsTheRestoreKeepsTheBackupAndTheRerunRestoresAll)
{
    seeded_package pkg;
    sim_router r;
    run_with_unconfirmed_item(&r, pkg);

    // The fault is gone; the failed upgrade erased its package, which the
    // router loads again. The modem journal says every image was stored:
    // the rerun only restores the backup left behind.
    pkg.modem_faults("");
    const size_t switches = pkg.modem_log_count("attach download");
    ASSERT_NO_FATAL_FAILURE(load_and_up(r, pkg, 40));
    EXPECT_TRUE(r.syslog_contains("an earlier modem update stored every image: its NV backup is restored"));
    EXPECT_EQ(pkg.modem_log_count("attach download"), switches) << "the modem was flashed again";
    EXPECT_TRUE(r.syslog_contains("mu_restore_nv success."));
    expect_nothing_lost(pkg, "rerun");
    expect_backup_gone(r);
    EXPECT_EQ(last_function_level(pkg), "1");
}

TEST(NvPreserve, PendingBackupOnAModemAtTheNewVersionIsFlashedAgainAndRestored)
{
    // A modem at the new version with a wiped store, and a valid block file
    // left by an earlier step cut before its restore. Its version cannot be
    // trusted (the cut may have fallen between its images): without the
    // modem journal that says which images were stored, it is flashed again
    // before the restore.
    seeded_package pkg;
    sim_router r;
    run_with_unconfirmed_item(&r, pkg);
    std::filesystem::remove_all(pkg.modem_state + "/nv");
    std::filesystem::remove_all(pkg.modem_state + "/rfnv");
    std::filesystem::create_directories(pkg.modem_state + "/nv");
    std::filesystem::create_directories(pkg.modem_state + "/rfnv");
    pkg.dir.put("modem/identity", "sn=\nimei=000000000000000\ntestinf=\nsimlock=0\ninds=\n");
    pkg.modem_faults("");
    ASSERT_EQ(unlink((r.state() + "/2ndfile/modem_journal").c_str()), 0) << "no modem journal";
    ASSERT_TRUE(load_for_upgrade(r, pkg));
    const size_t switches = pkg.modem_log_count("attach download");

    ASSERT_EQ(r.run({"imgrenew", "up"}, with_modem(pkg, 40)), 0);
    EXPECT_FALSE(r.syslog_contains("no need to update current modem firmware"));
    EXPECT_TRUE(r.syslog_contains("its NV backup was not restored yet): every image is flashed again"));
    EXPECT_GT(pkg.modem_log_count("attach download"), switches) << "the modem was not flashed again";
    expect_nothing_lost(pkg, "pending backup");
    expect_backup_gone(r);
}

TEST(NvPreserve, DamagedBlockFileIsSetAsideAndTheModemBackedUpAfresh)
{
    seeded_package pkg;
    sim_router r;
    ASSERT_TRUE(load_for_upgrade(r, pkg));
    // A block whose NV size (1 MiB) does not fit its 256 KiB.
    bytes block(262144, 0);
    block[2] = 0x10;   // nv_size 00 00 10 00, little-endian
    ASSERT_TRUE(simharness::write_file(r.state() + "/2ndfile/modem_nv", block));
    ASSERT_EQ(r.run({"imgrenew", "up"}, with_modem(pkg, 40)), 0);

    expect_logged(r, {"the modem NV backup left by an earlier update is damaged, setting it aside",
                      "damaged NV backup /2ndfile/modem_nv set aside as /2ndfile/modem_nv.damaged-1",
                      "backup modem NV success",
                      "modem update successful,please reset the comuter!"});
    expect_nothing_lost(pkg, "damaged block");
    expect_backup_gone(r);
    const std::string kept = r.second_fs_file("modem_nv.damaged-1");
    EXPECT_TRUE(kept == std::string(block.begin(), block.end())) << "the damaged block is not kept as it was";
}

TEST(NvPreserve, SerialNumberThatFailsOnceIsStillInTheBackupOfTheNextAttempt)
{
    seeded_package pkg;
    // The third AT+KQTSN (the first two are the IMEI reads of the step and
    // of the backup attempt) is the serial-number read: it gets ERROR, the
    // first backup attempt fails, and the second must still ask for the
    // serial number.
    pkg.modem_faults("nak at-kqtsn 3\n");
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(load_and_up(r, pkg, 40));
    EXPECT_EQ(pkg.modem_log_count("refused: fault"), 1u);
    expect_logged(r, {"Fail to read SN",
                      "backup modem NV success",
                      "modem update successful,please reset the comuter!"});
    EXPECT_EQ(pkg.modem_log_count("identity wiped"), 1u);
    expect_nothing_lost(pkg, "serial number read refused once");
    expect_backup_gone(r);
}
