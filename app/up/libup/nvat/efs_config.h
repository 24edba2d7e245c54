// The device identity record: which identity items and radio bands a modem
// upgrade preserves, and the saved identity texts. It is stored whole in the
// NV backup files, so its 548-byte layout is a file format.
#pragma once

#include <cstddef>
#include <cstdint>

struct efs_h_cfg {
    uint32_t SN;              // not 0: preserve the serial number
    uint32_t IMEI;            // not 0: preserve the IMEI
    uint32_t SIMLOCK;         // not 0: preserve the SIM lock; 1: also write strSIMLOCKList
    uint32_t TESTINF;         // not 0: preserve the test information
    uint32_t MEID;
    uint32_t GSMBand;         // band nibble masks of the NV items to keep
    uint32_t UMTSBand;
    uint32_t LTEBand;
    uint32_t INDS;
    char strSN[64];           // saved values keep their double quotes
    char strIMEI[64];
    char strSIMLOCK[64];
    char strSIMLOCKList[128];
    char strTESTINF[64];
    char strMEID[64];
    char strINDS[64];
};

constexpr size_t EFS_H_CFG_SIZE = 548;
static_assert(sizeof(efs_h_cfg) == EFS_H_CFG_SIZE, "identity record is 548 bytes on disk");
static_assert(offsetof(efs_h_cfg, GSMBand) == 20, "band masks follow the five flags");
static_assert(offsetof(efs_h_cfg, strSN) == 36, "texts follow the nine words");
static_assert(offsetof(efs_h_cfg, strIMEI) == 100, "");
static_assert(offsetof(efs_h_cfg, strSIMLOCK) == 164, "");
static_assert(offsetof(efs_h_cfg, strSIMLOCKList) == 228, "");
static_assert(offsetof(efs_h_cfg, strTESTINF) == 356, "");
static_assert(offsetof(efs_h_cfg, strMEID) == 420, "");
static_assert(offsetof(efs_h_cfg, strINDS) == 484, "");

// The file form: the nine words little-endian, then the seven text fields as
// they stand (a text that fills its field is written as it is).
void efs_cfg_encode(const efs_h_cfg *cfg, uint8_t out[EFS_H_CFG_SIZE]);
// Reads the file form back; every text field comes back terminated within
// its field (a full field loses its last byte to the terminator).
void efs_cfg_decode(const uint8_t in[EFS_H_CFG_SIZE], efs_h_cfg *cfg);

// Writes the file form at the current position of fd. 0, or -1.
int efs_cfg_write(int fd, const efs_h_cfg *cfg);
// Reads the file form from the current position of fd. 0, or -1 when fewer
// than EFS_H_CFG_SIZE bytes could be read.
int efs_cfg_read(int fd, efs_h_cfg *cfg);
