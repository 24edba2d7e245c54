// Builds the working list of NV items that the NV reader walks.
#include "nv_tables.h"

#include <cstddef>

#include "kq_log.h"

nv_items_stru_type rf_nv_items[RF_NV_ITEMS_ROWS];

namespace {

// Every row becomes the terminator, so the list stays terminated as long as
// fewer than RF_NV_ITEMS_ROWS rows are filled.
void clear_list(void)
{
    for (auto &row : rf_nv_items)
        row = {NV_ITEM_END, nullptr};
}

// Appends a terminated table at *used. The last row of the list is never
// filled, so a terminator remains whatever the tables hold.
void append_table(const nv_items_stru_type *table, int capacity, int *used)
{
    for (int i = 0; i < capacity && table[i].nID != NV_ITEM_END; i++) {
        if (*used >= RF_NV_ITEMS_ROWS - 1)
            return;
        rf_nv_items[(*used)++] = table[i];
    }
}

bool nibble_is_one(uint64_t mask, int nibble)
{
    return ((mask >> (4 * nibble)) & 0xFu) == 1u;
}

bool any_nibble_is_one(uint64_t mask, int first, int last)
{
    for (int n = first; n <= last; n++)
        if (nibble_is_one(mask, n))
            return true;
    return false;
}

struct band_table {
    int nibble;        // nibble that selects the table
    int alt_nibble;    // a second nibble that selects it too, or -1
    int band;          // band number for the log line
    const nv_items_stru_type *table;
    int capacity;
};

constexpr band_table GSM_TABLES[] = {
    {0, -1, 850, rf_nv_items_GSM_850, 200},
    {1, -1, 900, rf_nv_items_GSM_900, 200},
    {2, -1, 1800, rf_nv_items_GSM_1800, 200},
    {3, -1, 1900, rf_nv_items_GSM_1900, 200},
};

// Band 3 answers to nibble 2 and nibble 7, band 5 to nibbles 4 and 5; a band
// selected twice is still appended once.
constexpr band_table UMTS_TABLES[] = {
    {0, -1, 1, rf_nv_items_WCDMA_BAND_1, 200},
    {1, -1, 2, rf_nv_items_WCDMA_BAND_2, 200},
    {2, 7, 3, rf_nv_items_WCDMA_BAND_3, 200},
    {3, -1, 4, rf_nv_items_WCDMA_BAND_4, 200},
    {4, 5, 5, rf_nv_items_WCDMA_BAND_5, 200},
    {7, -1, 8, rf_nv_items_WCDMA_BAND_8, 200},
};

constexpr band_table LTE_TABLES[] = {
    {0, -1, 1, rf_nv_items_LTE_B1, 400},
    {1, -1, 2, rf_nv_items_LTE_B2, 400},
    {2, -1, 3, rf_nv_items_LTE_B3, 400},
    {3, -1, 4, rf_nv_items_LTE_B4, 400},
    {4, -1, 7, rf_nv_items_LTE_B7, 400},
    {5, -1, 11, rf_nv_items_LTE_B11, 400},
    {6, -1, 13, rf_nv_items_LTE_B13, 400},
    {7, -1, 17, rf_nv_items_LTE_B17, 400},
    {8, -1, 18, rf_nv_items_LTE_B18, 400},
    {9, -1, 20, rf_nv_items_LTE_B20, 400},
    {10, -1, 38, rf_nv_items_LTE_B38, 400},
    {11, -1, 40, rf_nv_items_LTE_B40, 400},
};

enum band_family { FAMILY_GSM, FAMILY_UMTS, FAMILY_LTE };

void log_band_selected(band_family family, int band)
{
    switch (family) {
    case FAMILY_GSM:
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]bGSMBand%d is true!\n\n", band);
        break;
    case FAMILY_UMTS:
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]bUMTSBand_%d is true!\n\n", band);
        break;
    case FAMILY_LTE:
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]bLTE_B%d is true!\n\n", band);
        break;
    }
}

template <size_t N>
void select_bands(band_family family, const band_table (&tables)[N], uint64_t mask,
                  bool (&selected)[N])
{
    for (size_t i = 0; i < N; i++) {
        const band_table &b = tables[i];
        selected[i] = nibble_is_one(mask, b.nibble) ||
                      (b.alt_nibble >= 0 && nibble_is_one(mask, b.alt_nibble));
        if (selected[i])
            log_band_selected(family, b.band);
    }
}

template <size_t N>
void append_selected(const band_table (&tables)[N], const bool (&selected)[N], int *used)
{
    for (size_t i = 0; i < N; i++)
        if (selected[i])
            append_table(tables[i].table, tables[i].capacity, used);
}

} // namespace

int nv_table_rows(const nv_items_stru_type *table, int capacity)
{
    int n = 0;
    while (n < capacity && table[n].nID != NV_ITEM_END)
        n++;
    return n;
}

int nv_build_preserved_list(void)
{
    clear_list();
    int used = 0;
    for (int i = 0; i < 331 && qd4700_modem_nv[i].nID != NV_ITEM_END; i++) {
        rf_nv_items[used] = qd4700_modem_nv[i];
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]rf_nv_items[%d].nID==%d----rf_nv_items[%d].pItemName=%s\n\n",
               used, (int)rf_nv_items[used].nID, used, rf_nv_items[used].pItemName);
        used++;
    }
    return 0;
}

int nv_build_band_list(uint32_t gsm_band, uint32_t umts_band, uint32_t lte_band)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get into InitNVItem.\n\n");
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]m_strGSMBand=%lx\n", (unsigned long)gsm_band);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]m_strUMTSBand=%lx\n", (unsigned long)umts_band);

    // Only the low half of the GSM word carries bands; a word whose low half
    // is zero is not examined at all.
    const uint64_t gsm = gsm_band & 0xFFFFu;
    if (gsm != 0 && !any_nibble_is_one(gsm, 0, 3)) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]GSMBand error , %s, %d\n\n", "InitNVItems", __LINE__);
        return -1;
    }
    bool gsm_sel[4];
    select_bands(FAMILY_GSM, GSM_TABLES, gsm, gsm_sel);

    if (umts_band != 0 && !any_nibble_is_one(umts_band, 0, 7)) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]UMTSBand error\n\n");
        return -1;
    }
    bool umts_sel[6];
    select_bands(FAMILY_UMTS, UMTS_TABLES, umts_band, umts_sel);

    // The LTE mask is 64 bits wide but only its low 32 come from the record,
    // so nibbles 8-11 are never selected from a configuration.
    const uint64_t lte = (uint64_t)lte_band;
    if (lte != 0 && !any_nibble_is_one(lte, 0, 11)) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]LTEBand error\n\n");
        return -1;
    }
    bool lte_sel[12];
    select_bands(FAMILY_LTE, LTE_TABLES, lte, lte_sel);

    clear_list();
    int used = 0;
    append_table(rf_nv_items_customize, RF_NV_ITEMS_CUSTOMIZE_ROWS, &used);
    append_selected(GSM_TABLES, gsm_sel, &used);
    append_selected(UMTS_TABLES, umts_sel, &used);
    // The CDMA tables sit between WCDMA and LTE; no configuration selects them.
    append_selected(LTE_TABLES, lte_sel, &used);
    return 0;
}

int InitNVItems_qd4700(const efs_h_cfg *nv_cfg)
{
    (void)nv_cfg;
    return nv_build_preserved_list();
}

int InitNVItems(const efs_h_cfg *nv_cfg)
{
    return nv_build_band_list(nv_cfg->GSMBand, nv_cfg->UMTSBand, nv_cfg->LTEBand);
}
