// The modem record read from a package partition with factory bad blocks:
// the container, its checksum and every image are read through the same
// bad-block mapping as the router records.
#include "modem_fixture.h"

using namespace sysmodem;

namespace {

uint32_t le32_at(const std::string &path, size_t offset)
{
    std::string text = simharness::read_file(path);
    const auto *p = reinterpret_cast<const uint8_t *>(text.data() + offset);
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

} // namespace

TEST(ModemBadBlocks, BadBlocksBeforeAndInsideTheModemRecordAreSteppedOver)
{
    modem_package pkg;
    // The table's fourth record is the modem record. Device block 1 lies
    // before it; with that block stepped over, device block 12 holds package
    // bytes 0x160000 to 0x180000, inside the record.
    const uint32_t modem_at = le32_at(pkg.path, sysrouter::record_field(3, 0));
    const uint32_t modem_len = le32_at(pkg.path, sysrouter::record_field(3, 4));
    ASSERT_GT(modem_at, 2 * sysrouter::k_block);
    ASSERT_LT(modem_at, 0x160000u);
    ASSERT_GT(modem_at + modem_len, 0x180000u);

    sim_router r({"--bad-block", "6:1", "--bad-block", "6:12"});
    ASSERT_TRUE(r.ok());
    ASSERT_NO_FATAL_FAILURE(load_and_up(r, pkg));

    EXPECT_EQ(r.status(), "0") << r.out("stderr");
    EXPECT_FALSE(r.syslog_contains("update modem image failed"));
    EXPECT_TRUE(r.syslog_contains("modem update successful,please reset the comuter!"));
    for (const char *type : {"hex", "partition", "dbl", "osbl", "amss", "dsp1", "dsp2"})
        EXPECT_TRUE(pkg.flash_holds(type)) << type << " is not byte-exact in the modem's flash";
    const bytes &fsbl = pkg.data("fsbl");
    EXPECT_EQ(r.second_fs_file("fsbl.mbn"), std::string(fsbl.begin(), fsbl.end()));
    EXPECT_TRUE(sysrouter::partition_holds(r, 2, pkg.kernel));
    sysrouter::expect_successful_bus(r.bus());
}
