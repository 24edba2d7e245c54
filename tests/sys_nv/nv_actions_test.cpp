// The NV maintenance actions of imgrenew against the virtual modem:
// nv_get, nv_set, nv_normal and set_digftm.
#include "nv_fixture.h"

using namespace sysnv;
using sysmodem::with_modem;

namespace {

bytes le16(unsigned v) { return {(uint8_t)(v & 0xFF), (uint8_t)(v >> 8)}; }

// /2ndfile/high_nv as the modem's seeded RF NV items make it: item, length
// (both 16-bit little-endian), data; in the table's order.
bytes high_nv_file()
{
    bytes out;
    const unsigned order[] = {20207, 20208, 21183, 21186, 21239, 21242};
    const size_t lens[] = {40, 7, 12, 300, 1, 512};
    for (size_t i = 0; i < 6; i++) {
        bytes item = le16(order[i]), len = le16((unsigned)lens[i]);
        out.insert(out.end(), item.begin(), item.end());
        out.insert(out.end(), len.begin(), len.end());
        bytes data = rf_value(RF_ITEMS[i]);
        EXPECT_EQ(data.size(), lens[i]);
        out.insert(out.end(), data.begin(), data.end());
    }
    return out;
}

std::string text(const bytes &b) { return std::string(b.begin(), b.end()); }

} // namespace

TEST(NvActions, NvGetWritesTheHighItemsAndLeavesFactoryTestModeNvSetWritesThemBackAndGoesOnline)
{
    modem_package pkg;
    seed_store(pkg);
    sim_router r;
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.run({"imgrenew", "nv_get"}, with_modem(pkg)), 0);
    EXPECT_EQ(r.status(), "0") << r.out("stderr");
    EXPECT_EQ(r.second_fs_file("high_nv"), text(high_nv_file()));
    EXPECT_EQ(r.second_fs_file("high_nv").size(), 6u * 4u + 40u + 7u + 12u + 300u + 1u + 512u);
    EXPECT_EQ(last_function_level(pkg), "5") << "not left in factory test mode";

    // The modem loses its RF NV items; nv_set brings them back from the file.
    std::filesystem::remove_all(pkg.modem_state + "/rfnv");
    std::filesystem::create_directories(pkg.modem_state + "/rfnv");
    ASSERT_EQ(r.run({"imgrenew", "nv_set"}, with_modem(pkg)), 0);
    EXPECT_EQ(r.status(), "0") << r.out("stderr");
    EXPECT_EQ(count_lost(pkg).rf, 0);
    EXPECT_EQ(last_function_level(pkg), "1") << "not online after nv_set";
}

TEST(NvActions, SetDigftmSwitchesModeAndNvNormalDumpsTheItemsTheModemHolds)
{
    modem_package pkg;
    seed_store(pkg);
    sim_router r;
    ASSERT_EQ(r.run({"imgrenew", "set_digftm"}, with_modem(pkg)), 0);
    EXPECT_EQ(pkg.modem_log_count("function level 5 (diag mode switch)"), 1u);

    // In factory test mode: 330 records of item and 128 data bytes.
    ASSERT_EQ(r.run({"sh", "-c", "imgrenew set_digftm && imgrenew nv_normal"}, with_modem(pkg)), 0);
    const std::string dump = r.second_fs_file("normal_nv");
    ASSERT_EQ(dump.size(), 42900u);
    // The first records are items 524 and 525: number, then the seeded data.
    EXPECT_EQ(dump.substr(0, 2), "\x0C\x02");
    EXPECT_EQ(dump.substr(2, 128), text(nv_value(524)));
    EXPECT_EQ(dump.substr(130, 2), "\x0D\x02");
    EXPECT_EQ(dump.substr(132, 128), text(nv_value(525)));

    // Items the modem does not hold are left out.
    modem_package sparse;
    seed_store(sparse, {preserved_items()[3], preserved_items()[200]});
    sim_router r2;
    ASSERT_EQ(r2.run({"sh", "-c", "imgrenew set_digftm && imgrenew nv_normal"}, with_modem(sparse)), 0);
    EXPECT_EQ(r2.second_fs_file("normal_nv").size(), 328u * 130u);
}
