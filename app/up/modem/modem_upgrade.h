// The modem upgrade sequence: stop the processes that hold the modem, power
// it up afresh, check the container, read its configuration, and flash the
// sub-images in table order with up to five attempts.
#pragma once

#include <cstdint>

// 1 for each sub-image installed during this modem step. A failed attempt
// power-cycles the modem and the next one skips what is flagged.
struct modem_check_point_t {
    int32_t dbl_download;
    int32_t fsbl_download;
    int32_t osbl_download;
    int32_t amss_download;
    int32_t dsp1_download;
    int32_t dsp2_download;
    int32_t efs_download;
};

extern modem_check_point_t check_point;

constexpr int MODEM_DOWNLOAD_ATTEMPTS = 5;
// Detections of the modem's ports after its power cycle, one second apart.
constexpr int MODEM_PORT_DETECTIONS = 100;

#define MODEM_NV_BLOCK_FILE "/2ndfile/modem_nv"
#define MODEM_HIGH_NV_FILE "/2ndfile/high_nv"

// For a package without a modem record: 0 when no modem update is open;
// otherwise a pending NV backup is restored into the modem when it answers
// (and is the backup's modem), the unfinished modem is named in the log,
// and the result is -1.
int up_modem_unfinished_check(void);

// 0 when the modem needs no update, -1 when it does. When only the EFS
// differs, marks the six base images installed in check_point.
int check_no_need_update(void);

// NV and identity preservation around the flashing. 0 or -1.
int up_modem_backup_NV(void);
int up_modem_restore_NV(void);
// True while "/2ndfile/modem_nv" holds a backup that was never restored.
bool up_modem_nv_backup_pending(void);
// Looks at a backup left by an earlier step: 1 pending, 0 none (a damaged
// block is set aside first), -1 when it cannot be read.
int up_modem_nv_pending_check(void);
// Removes the backup files; the block only after a restore in this run
// that every record confirmed. 0, or -1 when the block stays.
int up_modem_nv_backup_remove(void);
// Restores a pending backup and removes it. 0, or -1 (the backup stays).
int up_modem_nv_restore_pending(void);
// The high-priority items of a transaction whose block is lost or damaged,
// written back from the high-NV file kept for it (kept_high, checked
// against the journal's record by the caller). The NV items and identity
// are not restored: the line names the set-aside block that holds them.
// Never counts as a confirmed restore. 0 when every item was confirmed.
int up_modem_restore_high_kept(const char *kept_high);
