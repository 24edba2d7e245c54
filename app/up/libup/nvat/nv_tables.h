// The NV items a modem upgrade reads out of the modem and writes back: one
// constant table per radio band, a few fixed lists, and the working list the
// NV reader walks.
#pragma once

#include <cstdint>

#include "efs_config.h"

// One row: the modem's NV item number and its name (for log lines only).
// A row with nID -1 ends a table; item 0 is a real item (NV_ESN_I).
struct nv_items_stru_type {
    int32_t nID;
    const char *pItemName;
};

constexpr int32_t NV_ITEM_END = -1;
constexpr int RF_NV_ITEMS_ROWS = 1500;
constexpr int RF_NV_ITEMS_CUSTOMIZE_ROWS = 34;

// The working list: rebuilt by each builder, always terminated.
extern nv_items_stru_type rf_nv_items[RF_NV_ITEMS_ROWS];

extern const nv_items_stru_type rf_nv_items_customize[RF_NV_ITEMS_CUSTOMIZE_ROWS];
extern const nv_items_stru_type rf_nv_items_GSM_850[200];
extern const nv_items_stru_type rf_nv_items_GSM_900[200];
extern const nv_items_stru_type rf_nv_items_GSM_1800[200];
extern const nv_items_stru_type rf_nv_items_GSM_1900[200];
extern const nv_items_stru_type rf_nv_items_WCDMA_BAND_1[200];
extern const nv_items_stru_type rf_nv_items_WCDMA_BAND_2[200];
extern const nv_items_stru_type rf_nv_items_WCDMA_BAND_3[200];
extern const nv_items_stru_type rf_nv_items_WCDMA_BAND_4[200];
extern const nv_items_stru_type rf_nv_items_WCDMA_BAND_5[200];
extern const nv_items_stru_type rf_nv_items_WCDMA_BAND_8[200];
extern const nv_items_stru_type rf_nv_items_CDMA800[400];
extern const nv_items_stru_type rf_nv_items_CDMA1900[400];
extern const nv_items_stru_type rf_nv_items_LTE_B1[400];
extern const nv_items_stru_type rf_nv_items_LTE_B2[400];
extern const nv_items_stru_type rf_nv_items_LTE_B3[400];
extern const nv_items_stru_type rf_nv_items_LTE_B4[400];
extern const nv_items_stru_type rf_nv_items_LTE_B7[400];
extern const nv_items_stru_type rf_nv_items_LTE_B11[400];
extern const nv_items_stru_type rf_nv_items_LTE_B13[400];
extern const nv_items_stru_type rf_nv_items_LTE_B17[400];
extern const nv_items_stru_type rf_nv_items_LTE_B18[400];
extern const nv_items_stru_type rf_nv_items_LTE_B20[400];
extern const nv_items_stru_type rf_nv_items_LTE_B38[400];
extern const nv_items_stru_type rf_nv_items_LTE_B40[400];
extern const nv_items_stru_type qd4700_modem_nv[331];
extern const nv_items_stru_type qd4700_modem_high_nv[7];

// Fills rf_nv_items with the preserved set (qd4700_modem_nv). Returns 0.
int nv_build_preserved_list(void);

// Fills rf_nv_items from the band nibble masks of an identity record: the
// fixed head, then every selected band's table. A nibble selects its band
// only when it is exactly 1. Returns 0, or -1 (list untouched) when a
// non-zero mask selects nothing.
int nv_build_band_list(uint32_t gsm_band, uint32_t umts_band, uint32_t lte_band);

// The builders of the library interface: the preserved set whatever the
// record holds, and the band-driven list from the record's band masks.
int InitNVItems_qd4700(const efs_h_cfg *nv_cfg);
int InitNVItems(const efs_h_cfg *nv_cfg);

// Number of rows of a terminated table (the terminator not counted).
int nv_table_rows(const nv_items_stru_type *table, int capacity);
