// Modem containers the modem step refuses: nothing reaches the modem, the
// upgrade fails and still asks for the reboot.
#include "modem_fixture.h"

using namespace sysmodem;

namespace {

// A refused container: the extra description lines, the modem's fault
// rules, and the syslog lines that must be there and those that must not
// (why in `because`).
struct refusal {
    const char *name;
    const char *lines;
    const char *faults;
    std::vector<const char *> logged;
    std::vector<const char *> not_logged;
    const char *because;
};

const refusal k_refusals[] = {
    // Status FUU_FLE_ERR through the closing steps: the result is FUU_RSET_ERR.
    {"WrongContainerMagicEndsWithTheResetStatus", "magic 0x4D444F4E\n", "",
     {"this file is not a validate modem firmware file.", "reset failed!"},
     {"get ini config info successful."}, ""},
    {"FlippedChecksumByteFlashesNothing", "flip_checksum_byte 2\n", "",
     {"all modem firmware crc is 0x"},
     {"reset failed!", "get ini config info successful."}, "a checksum mismatch is -1, not 6"},
    {"FortyDeclaredEntriesAreRefusedBeforeTheTableIsRead", "declare_entries 40\n", "",
     {"modem firmware declares 40 sub images, at most 15 fit, refused", "reset failed!"},
     {"headbuf[0]"}, ""},
    // efs_restore 1 asks for the backup; the modem never answers an NV
    // request. (efs_include 1, which forces the backup, is in tests/sys_nv.)
    {"ContainerAskingForNvPreservationIsNotFlashedWhenTheBackupFails", "efs_restore 1\n", "silent nv 1\n",
     {"backup modem NV failed", "get ini config info successful."}, {}, ""},
};

// A row is named by its case in gtest's messages.
void PrintTo(const refusal &c, std::ostream *os)
{
    *os << c.name;
}

} // namespace

class ModemRefusal : public ::testing::TestWithParam<refusal> {};

// The modem step fails before anything was flashed or backed up. The router
// records are skipped: an erased state word reads as "router done".
TEST_P(ModemRefusal, FlashesNothingAndAsksForTheReboot)
{
    const refusal &c = GetParam();
    modem_package pkg(std::string("modem_version ZMR_V200\n") + c.lines);
    pkg.modem_faults(c.faults);
    sim_router r;
    ASSERT_EQ(r.load_package(pkg.path), 0);
    ASSERT_EQ(r.run({"imgrenew", "up"}, with_modem(pkg)), 0);

    EXPECT_EQ(r.status(), "0") << r.out("stderr");
    EXPECT_TRUE(r.syslog_contains("update modem image failed"));
    EXPECT_TRUE(r.syslog_contains("update system failed and will to reboot"));
    EXPECT_TRUE(nothing_flashed(pkg));
    EXPECT_EQ(r.second_fs_file("fsbl.mbn"), "");
    EXPECT_EQ(r.second_fs_file("modem_nv"), "");
    expect_failed_upgrade_bus(r.bus());
    for (const char *line : c.logged)
        EXPECT_TRUE(r.syslog_contains(line)) << line;
    for (const char *line : c.not_logged)
        EXPECT_FALSE(r.syslog_contains(line)) << line << ": " << c.because;
}

INSTANTIATE_TEST_SUITE_P(Containers, ModemRefusal, ::testing::ValuesIn(k_refusals),
                         [](const ::testing::TestParamInfo<refusal> &i) { return std::string(i.param.name); });
