// The NV item tables and the working-list builders: row counts, the rows
// named in the modem's item list, and the band selection rules.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "nv_tables.h"

namespace {

int list_rows()
{
    int n = 0;
    while (n < RF_NV_ITEMS_ROWS && rf_nv_items[n].nID != -1)
        n++;
    return n;
}

void expect_row(const nv_items_stru_type &row, int id, const char *name)
{
    EXPECT_EQ(row.nID, id);
    ASSERT_NE(row.pItemName, nullptr);
    EXPECT_STREQ(row.pItemName, name);
}

// A marker list, so a refused build can be seen to leave the list alone.
void fill_marker()
{
    for (int i = 0; i < RF_NV_ITEMS_ROWS; i++)
        rf_nv_items[i] = {7777, "MARKER"};
    rf_nv_items[3] = {-1, nullptr};
}

} // namespace

TEST(NvTables, RowCountsOfEveryTable)
{
    struct { const nv_items_stru_type *t; int cap, rows; } cases[] = {
        {rf_nv_items_GSM_850, 200, 112},      {rf_nv_items_GSM_900, 200, 112},
        {rf_nv_items_GSM_1800, 200, 113},     {rf_nv_items_GSM_1900, 200, 112},
        {rf_nv_items_WCDMA_BAND_1, 200, 51},  {rf_nv_items_WCDMA_BAND_2, 200, 51},
        {rf_nv_items_WCDMA_BAND_3, 200, 51},  {rf_nv_items_WCDMA_BAND_4, 200, 68},
        {rf_nv_items_WCDMA_BAND_5, 200, 51},  {rf_nv_items_WCDMA_BAND_8, 200, 51},
        {rf_nv_items_CDMA800, 400, 29},       {rf_nv_items_CDMA1900, 400, 28},
        {rf_nv_items_LTE_B1, 400, 25},        {rf_nv_items_LTE_B2, 400, 19},
        {rf_nv_items_LTE_B3, 400, 19},        {rf_nv_items_LTE_B4, 400, 19},
        {rf_nv_items_LTE_B7, 400, 21},        {rf_nv_items_LTE_B11, 400, 19},
        {rf_nv_items_LTE_B13, 400, 22},       {rf_nv_items_LTE_B17, 400, 21},
        {rf_nv_items_LTE_B18, 400, 19},       {rf_nv_items_LTE_B20, 400, 19},
        {rf_nv_items_LTE_B38, 400, 19},       {rf_nv_items_LTE_B40, 400, 21},
        {qd4700_modem_nv, 331, 330},          {qd4700_modem_high_nv, 7, 6},
    };
    for (auto &c : cases) {
        int n = nv_table_rows(c.t, c.cap);
        EXPECT_EQ(n, c.rows) << c.t[0].pItemName;
        ASSERT_LT(n, c.cap);
        EXPECT_EQ(c.t[n].nID, -1) << "terminator after " << c.t[0].pItemName;
        // Item numbers are unique within a table: a duplicate would read one
        // item twice and, on restore, write a stale value over a fresh one.
        std::set<int> ids;
        for (int i = 0; i < n; i++)
            EXPECT_TRUE(ids.insert(c.t[i].nID).second) << c.t[i].pItemName;
    }
}

TEST(NvTables, FirstRowsOfTheTables)
{
    expect_row(rf_nv_items_customize[0], 0, "NV_ESN_I");
    expect_row(rf_nv_items_customize[1], 141, "NV_THERM_I");
    expect_row(rf_nv_items_customize[2], 441, "NV_BAND_PREF_I");
    expect_row(rf_nv_items_customize[33], 5479, "NV_ENH_THERM_I");
    expect_row(rf_nv_items_GSM_850[0], 1101, "NV_GSM_850_CAL_ARFCN_I");
    expect_row(rf_nv_items_GSM_850[1], 1102, "NV_GSM_850_RX_GAIN_RANGE_1_FREQ_COMP_I");
    expect_row(rf_nv_items_GSM_900[0], 724, "NV_GSM_CAL_ARFCN_I");
    expect_row(rf_nv_items_GSM_1800[1], 730, "NV_DCS_RX_GAIN_RANGE_1_FREQ_COMP_I");
    expect_row(rf_nv_items_GSM_1900[1], 1059, "NV_GSM_1900_RX_GAIN_RANGE_2_FREQ_COMP_I");
    expect_row(rf_nv_items_WCDMA_BAND_1[1], 525, "NV_WCDMA_LNA_OFFSET_VS_FREQ_I");
    expect_row(rf_nv_items_WCDMA_BAND_4[0], 3995, "NV_WCDMA_BC4_VGA_GAIN_OFFSET_I");
    expect_row(rf_nv_items_WCDMA_BAND_8[0], 3650, "NV_WCDMA_900_VGA_GAIN_OFFSET_I");
    expect_row(rf_nv_items_CDMA800[2], 1308, "NV_CDMA_RX_CAL_CHAN_I");
    expect_row(rf_nv_items_CDMA1900[2], 1749, "NV_C0_BC1_RX_CAL_CHAN_I");
    expect_row(rf_nv_items_LTE_B1[1], 6704, "NV_LTE_B1_RX_GAIN_I");
    expect_row(rf_nv_items_LTE_B20[0], 20144, "RFNV_LTE_B20_RX_CAL_CHAN_I");
    expect_row(rf_nv_items_LTE_B40[0], 6648, "NV_LTE_B40_RX_CAL_CHAN_I");
    expect_row(qd4700_modem_nv[0], 524, "NV_WCDMA_LNA_RANGE_OFFSET_I");
    expect_row(qd4700_modem_nv[1], 525, "NV_WCDMA_LNA_OFFSET_VS_FREQ_I");
    expect_row(qd4700_modem_nv[2], 531, "NV_WCDMA_TX_COMP_VS_FREQ_0_I");
    expect_row(qd4700_modem_nv[329], 6861, "NV_RC_PROCESS_ERRORS_I");
}

TEST(NvTables, HighPriorityListInFull)
{
    expect_row(qd4700_modem_high_nv[0], 20207, "NV_LTE_B1_RX_GAIN_I_I");
    expect_row(qd4700_modem_high_nv[1], 20208, "NV_LTE_B1_C1_RX_GAIN_I_I");
    expect_row(qd4700_modem_high_nv[2], 21183, "RFNV_LTE_B1_TX_LIN_MASTER_FOR_APT_0_I");
    expect_row(qd4700_modem_high_nv[3], 21186, "RFNV_LTE_B1_TX_LIN_MASTER_FOR_APT_3_I");
    expect_row(qd4700_modem_high_nv[4], 21239, "RFNV_LTE_B1_TX_GAIN_INDEX_FOR_APT_0_I");
    expect_row(qd4700_modem_high_nv[5], 21242, "RFNV_LTE_B1_TX_GAIN_INDEX_FOR_APT_3_I");
    EXPECT_EQ(qd4700_modem_high_nv[6].nID, -1);
}

TEST(NvTables, PreservedSetContainsTheNamedGroups)
{
    // Thermal items and the GSM calibration block are part of what survives
    // an upgrade; a table that lost them would lose calibration silently.
    std::set<int> ids;
    for (int i = 0; i < 330; i++)
        ids.insert(qd4700_modem_nv[i].nID);
    for (int id : {4225, 4226, 724, 733, 6861})
        EXPECT_EQ(ids.count(id), 1u) << id;
}

TEST(NvItemsList, PreservedListIsAlways330RowsAndATerminator)
{
    fill_marker();
    EXPECT_EQ(nv_build_preserved_list(), 0);
    EXPECT_EQ(list_rows(), 330);
    expect_row(rf_nv_items[0], 524, "NV_WCDMA_LNA_RANGE_OFFSET_I");
    expect_row(rf_nv_items[329], 6861, "NV_RC_PROCESS_ERRORS_I");
    // Rows after the set are terminators, not what was there before.
    EXPECT_EQ(rf_nv_items[1499].nID, -1);
}

TEST(NvItemsList, BandSelection)
{
    struct { uint32_t gsm, umts, lte; int rows; const char *why; } cases[] = {
        {0, 0, 0, 34, "no band: the fixed head only"},
        {0x0011, 0, 0, 34 + 112 + 112, "GSM 850 and 900"},
        {0x10000, 0, 0, 34, "GSM nibble 4 lies outside the low half: not examined"},
        {0, 0x10000000, 0, 34 + 51 + 51, "UMTS nibble 7: bands 3 and 8"},
        {0, 0x01000000, 0, 34, "UMTS nibble 6 passes the check but selects nothing"},
        {0, 0x00000101, 0, 34 + 51 + 51, "UMTS nibble 2 and 7 select band 3 once"},
        {0, 0x10000100, 0, 34 + 51 + 51, "band 3 twice and band 8"},
        {0, 0x00110000, 0, 34 + 51, "band 5 through nibbles 4 and 5, once"},
        {0, 0, 0x11, 34 + 25 + 19, "LTE B1 and B2"},
        {0x1111, 0x11111111, 0x11111111, 971, "every selectable band"},
    };
    for (auto &c : cases) {
        fill_marker();
        EXPECT_EQ(nv_build_band_list(c.gsm, c.umts, c.lte), 0) << c.why;
        EXPECT_EQ(list_rows(), c.rows) << c.why;
        expect_row(rf_nv_items[0], 0, "NV_ESN_I");
    }
}

TEST(NvItemsList, BandOrderFollowsTheFixedSequence)
{
    ASSERT_EQ(nv_build_band_list(0x1111, 0x11111111, 0x11111111), 0);
    expect_row(rf_nv_items[33], 5479, "NV_ENH_THERM_I");
    expect_row(rf_nv_items[34], 1101, "NV_GSM_850_CAL_ARFCN_I");           // GSM 850 first
    expect_row(rf_nv_items[34 + 112], 724, "NV_GSM_CAL_ARFCN_I");          // then GSM 900
    expect_row(rf_nv_items[34 + 449], 524, "NV_WCDMA_LNA_RANGE_OFFSET_I"); // WCDMA band 1
    expect_row(rf_nv_items[34 + 449 + 323], 6700, "NV_LTE_B1_RX_CAL_CHAN_I");
    EXPECT_EQ(rf_nv_items[971].nID, -1);
}

TEST(NvItemsList, MaskThatSelectsNothingIsRefusedAndLeavesTheList)
{
    struct { uint32_t gsm, umts, lte; } cases[] = {
        {0x0002, 0, 0},       // GSM nibble 0 is 2, not 1
        {0x000F, 0, 0},
        {0, 0x00000022, 0},   // no UMTS nibble equals 1
        {0, 0, 0x22},         // no LTE nibble equals 1
        {0, 0, 0x20000000},   // LTE nibble 7 is 2
    };
    for (auto &c : cases) {
        fill_marker();
        EXPECT_EQ(nv_build_band_list(c.gsm, c.umts, c.lte), -1);
        EXPECT_EQ(rf_nv_items[0].nID, 7777);
        EXPECT_STREQ(rf_nv_items[0].pItemName, "MARKER");
        EXPECT_EQ(rf_nv_items[3].nID, -1);
    }
}
