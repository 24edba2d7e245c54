// Modem containers the modem step refuses: nothing reaches the modem, the
// upgrade fails and still asks for the reboot.
#include "modem_fixture.h"

using namespace sysmodem;

namespace {

// Runs imgrenew up with a container built with the extra description lines
// and checks that the modem step failed before anything was flashed. The
// router records are skipped: an erased state word reads as "router done".
void run_refused(const std::string &lines, sim_router *r)
{
    modem_package pkg("modem_version ZMR_V200\n" + lines);
    ASSERT_EQ(r->load_package(pkg.path), 0);
    ASSERT_EQ(r->run({"imgrenew", "up"}, with_modem(pkg)), 0);
    EXPECT_EQ(r->status(), "0") << r->out("stderr");
    EXPECT_TRUE(r->syslog_contains("update modem image failed"));
    EXPECT_TRUE(r->syslog_contains("update system failed and will to reboot"));
    EXPECT_TRUE(nothing_flashed(pkg));
    EXPECT_EQ(r->second_fs_file("fsbl.mbn"), "");
    expect_failed_upgrade_bus(r->bus());
}

} // namespace

TEST(ModemRefusal, WrongContainerMagicEndsWithTheResetStatus)
{
    sim_router r;
    run_refused("magic 0x4D444F4E\n", &r);
    EXPECT_TRUE(r.syslog_contains("this file is not a validate modem firmware file."));
    // Status FUU_FLE_ERR through the closing steps: the result is FUU_RSET_ERR.
    EXPECT_TRUE(r.syslog_contains("reset failed!"));
    EXPECT_FALSE(r.syslog_contains("get ini config info successful."));
}

TEST(ModemRefusal, FlippedChecksumByteFlashesNothing)
{
    sim_router r;
    run_refused("flip_checksum_byte 2\n", &r);
    EXPECT_TRUE(r.syslog_contains("all modem firmware crc is 0x"));
    EXPECT_FALSE(r.syslog_contains("reset failed!")) << "a checksum mismatch is -1, not 6";
    EXPECT_FALSE(r.syslog_contains("get ini config info successful."));
}

TEST(ModemRefusal, FortyDeclaredEntriesAreRefusedBeforeTheTableIsRead)
{
    sim_router r;
    run_refused("declare_entries 40\n", &r);
    EXPECT_TRUE(r.syslog_contains("modem firmware declares 40 sub images, at most 15 fit, refused"));
    EXPECT_TRUE(r.syslog_contains("reset failed!"));
    EXPECT_FALSE(r.syslog_contains("headbuf[0]"));
}

TEST(ModemRefusal, ContainerAskingForNvPreservationIsNotFlashedWithoutTheBackup)
{
    for (const char *ask : {"efs_include 1\n", "efs_restore 1\n"}) {
        sim_router r;
        run_refused(ask, &r);
        EXPECT_TRUE(r.syslog_contains("the modem firmware asks to keep the modem NV items, which this "
                                      "version cannot back up: modem not flashed"))
            << ask;
        EXPECT_TRUE(r.syslog_contains("get ini config info successful.")) << ask;
    }
}
