// The fixed lists: the head of every band-built list, and the high-priority
// RF NV items that the factory-test subsystem reads and writes.
#include "nv_tables.h"

// Copied by count, so it carries no terminator.
const nv_items_stru_type rf_nv_items_customize[34] = {
    {0, "NV_ESN_I"},
    {141, "NV_THERM_I"},
    {441, "NV_BAND_PREF_I"},
    {453, "NV_FTM_MODE_I"},
    {533, "NV_WCDMA_TX_LIN_VS_TEMP_0_I"},
    {534, "NV_WCDMA_TX_LIN_VS_TEMP_1_I"},
    {821, "NV_GSM_PA_STOP_TIME_OFFSET_I"},
    {850, "NV_SERVICE_DOMAIN_PREF_I"},
    {876, "NV_WCDMA_MAX_TX_PWR_I"},
    {916, "NV_GSM_GAINRANGE_SWITCHPOINTS_I"},
    {917, "NV_DCS_GAINRANGE_SWITCHPOINTS_I"},
    {946, "NV_BAND_PREF_16_31_I"},
    {1058, "NV_GSM_1900_RX_GAIN_RANGE_1_FREQ_COMP_I"},
    {1100, "NV_GSM_1900_GAINRANGE_SWITCHPOINTS_I"},
    {1142, "NV_GSM_850_GAINRANGE_SWITCHPOINTS_I"},
    {1287, "NV_DCS_PA_TEMP_COMP_INDEX_2_I"},
    {1881, "NV_VCO_TEMP_I"},
    {1882, "NV_VCO_DEFAULT_I"},
    {1883, "NV_VCO_SLOPE_I"},
    {1885, "NV_RGS_TYPE_I"},
    {1886, "NV_RGS_TIME_I"},
    {1887, "NV_RGS_TEMP_I"},
    {1888, "NV_RGS_ROT_I"},
    {1889, "NV_RGS_VCO_I"},
    {2013, "NV_WCDMA_TX_LIN_VS_TEMP_2_I"},
    {2014, "NV_WCDMA_TX_LIN_VS_TEMP_3_I"},
    {2017, "NV_WCDMA_R2_RISE_I"},
    {2018, "NV_WCDMA_R2_FALL_I"},
    {2954, "NV_BAND_PREF_32_63_I"},
    {3649, "NV_WCDMA_PRC_VERSION_I"},
    {4212, "NV_XO_TRIM_VALUES_I"},
    {4953, "NV_XO_FIELD_CALIBRATION_I"},
    {4954, "NV_XO_FACTORY_CALIBRATION_I"},
    {5479, "NV_ENH_THERM_I"},
};

const nv_items_stru_type qd4700_modem_high_nv[7] = {
    {20207, "NV_LTE_B1_RX_GAIN_I_I"},
    {20208, "NV_LTE_B1_C1_RX_GAIN_I_I"},
    {21183, "RFNV_LTE_B1_TX_LIN_MASTER_FOR_APT_0_I"},
    {21186, "RFNV_LTE_B1_TX_LIN_MASTER_FOR_APT_3_I"},
    {21239, "RFNV_LTE_B1_TX_GAIN_INDEX_FOR_APT_0_I"},
    {21242, "RFNV_LTE_B1_TX_GAIN_INDEX_FOR_APT_3_I"},
    {-1, nullptr},
};
