// The modem's identity (serial number, IMEI, test information, SIM lock and
// the indicator) read over the AT port before a modem upgrade and written
// back after it.
#pragma once

#include "efs_config.h"

// Reads the items whose flags are set in nv_cfg into its text fields, in the
// order serial number, IMEI, test information, SIM lock. 0, or -1 at the
// first item that cannot be read (a failed serial number also clears SN).
int BackupInfo(int at_fd, efs_h_cfg *nv_cfg);
// Writes the saved items back: serial number, IMEI (a default one when the
// saved value is empty or zeroed), the indicator, test information, SIM lock.
// 0, or -1 at the first write the modem does not confirm.
int RestoreInfo(int fd_at, efs_h_cfg *nv_cfg);
