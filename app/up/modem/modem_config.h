// The modem upgrade configuration read from the INI of the modem container,
// and the run-wide records the modem step shares.
#pragma once

#include <cstdint>

#include "efs_config.h"

#define MODEM_INI_FILE "/tmp/modem_cof.ini"

struct file_info_st {
    char InnerVersion[256];     // firmware version the container installs
    char diagnose_inface[64];   // diagnostic (download) port, e.g. /dev/ttyUSB0
    char at_inface[64];         // AT command port
    int32_t efs_enabled;        // 1: the EFS sub-image is flashed
    int32_t efs_restore;        // 1: NV items and identity are preserved
    int32_t befs;               // EFS kind: 1 "bEFS", 0 "bAppEFS"
    int32_t version_check;      // 1: compare the running version first
};

// Filled by get_file_info_config; the port names are replaced by detection.
extern file_info_st file_info;
// Identity flags and band masks (from the INI when efs_restore reads 1).
extern efs_h_cfg efs_config;

// Reads the configuration from ini_file into file_info and efs_config.
// 0 when every required key was read, -1 at the first missing one (the
// fields read before it keep their values).
int get_file_info_config(const char *ini_file);
