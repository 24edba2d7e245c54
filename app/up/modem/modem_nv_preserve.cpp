// NV items and identity kept across a modem upgrade: the backup before the
// flashing, the restore after it, and the high-priority NV maintenance
// actions.
//
// "/2ndfile/modem_nv" with "/2ndfile/high_nv" is the only copy of the
// modem's calibration and identity once a flash has wiped them. Two rules
// keep it, checked where they can break:
//   1. a step that preserves NV flashes the modem only while a complete
//      backup exists (a block that fits, with at least one NV record);
//   2. a backup is removed only after a restore that every record
//      confirmed; a fresh backup never replaces it, and a damaged block is
//      set aside under a new name, never deleted.
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "at_channel.h"
#include "kq_log.h"
#include "modem_config.h"
#include "modem_ports.h"
#include "modem_upgrade.h"
#include "nv_backup_store.h"
#include "nv_items_io.h"
#include "serial_port.h"
#include "up_actions.h"
#include "up_api.h"
#include "up_fd.h"
#include "up_wait.h"

namespace {

constexpr int NV_ATTEMPTS = 3;
constexpr unsigned BACKUP_RETRY_MS = 1000;
constexpr unsigned RESTORE_RETRY_MS = 10000;
constexpr char NV_BACKUP_FILE[] = "/tmp/nv_bak";
constexpr char FTM_MODE[] = "AT+CFUN=5\r\n\r\n";
constexpr char ONLINE_MODE[] = "AT+CFUN=1\r\n\r\n";
constexpr char FIXED_AT_PORT[] = "/dev/ttyUSB2";
constexpr char FIXED_DIAG_PORT[] = "/dev/ttyUSB0";

bool path_exists(const char *path)
{
    struct stat st {};
    return lstat(path, &st) == 0;
}

// One backup attempt: 0 only when the block file holds the new backup.
int backup_attempt(void)
{
    if (check_usb_port() < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]check USB port failed\n\n");
        return -1;
    }
    if (mu_change_mode(file_info.at_inface, FTM_MODE) < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]change to FTM mode failed\n\n");
        return -1;
    }
    char imei[64] = {};
    if (check_download_mode() != 0 || get_imei(file_info.at_inface, imei, sizeof imei) < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get imei failed or system is not downlaod mode\n\n");
        up_sleep_ms(BACKUP_RETRY_MS);
        return -1;
    }
    int rc = back_up_nv(file_info.at_inface, file_info.diagnose_inface, &efs_config, NV_BACKUP_FILE);
    if (rc < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]call back_up_nv failed, ret=%ld\n", (long)rc);
        up_sleep_ms(BACKUP_RETRY_MS);
        return -1;
    }
    rc = nv_block_pack(NV_BACKUP_FILE, &efs_config, MODEM_HIGH_NV_FILE, MODEM_NV_BLOCK_FILE);
    if (rc < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]call write_nv_at_to_mem_block failed, ret=%ld\n", (long)rc);
        up_sleep_ms(BACKUP_RETRY_MS);
        return -1;
    }
    return 0;
}

// One restore attempt: 0 only when every item of the backup is back in the
// modem.
int restore_attempt(bool with_high)
{
    check_usb_port();
    if (mu_change_mode(file_info.at_inface, FTM_MODE) < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]change to ftm mode failed\n\n");
        up_sleep_ms(BACKUP_RETRY_MS);
        return -1;
    }
    int fd = fd_re_open(file_info.diagnose_inface, 1);
    if (fd < 1) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open diagnosetic port failed.\n\n");
        reset_modem();
        up_sleep_ms(RESTORE_RETRY_MS);
        return -1;
    }
    unique_fd port(fd);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open diagnosetic port success.\n\n");
    int rc = get_nv_at_from_mem_block(NV_BACKUP_FILE, &efs_config, MODEM_NV_BLOCK_FILE);
    if (rc < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]call get_nv_at_from_mem_block failed, ret=%ld\n", (long)rc);
        port.reset();
        up_sleep_ms(RESTORE_RETRY_MS);
        return -1;
    }
    rc = mu_restore_nv_parts(port.get(), file_info.at_inface, &efs_config, NV_BACKUP_FILE, with_high);
    if (rc < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]call mu_restore_nv failed, ret=%ld\n", (long)rc);
        port.reset();
        reset_modem();
        up_sleep_ms(RESTORE_RETRY_MS);
        return -1;
    }
    if (with_high)
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]mu_restore_nv success.\n\n");
    else
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]NV items and identity of the backup restored, its high-priority items left out\n\n");
    return 0;
}

} // namespace

bool up_modem_nv_backup_pending(void)
{
    return nv_block_inspect(MODEM_NV_BLOCK_FILE, nullptr) == NV_BLOCK_OK;
}

int up_modem_nv_pending_check(void)
{
    // Every modem step starts here: a restore confirmed by an earlier step
    // of this run allows no removal in this one.
    nv_restore_unconfirm();
    switch (nv_block_inspect(MODEM_NV_BLOCK_FILE, nullptr)) {
    case NV_BLOCK_NONE:
        // A high-NV file without its block is left alone here: it may be an
        // operator's (imgrenew nv_get). Only the modem journal tells one of
        // the step's own from it.
        return 0;
    case NV_BLOCK_OK:
        return 1;
    case NV_BLOCK_DAMAGED:
        // A block whose sizes do not fit can never be restored; it is kept
        // for an operator under a new name, and the step goes on as if there
        // were none.
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]the modem NV backup left by an earlier update is damaged, setting it aside\n\n");
        return nv_block_set_aside(MODEM_NV_BLOCK_FILE, MODEM_HIGH_NV_FILE) > 0 ? 0 : -1;
    case NV_BLOCK_IO_ERROR:
        break;
    }
    UP_LOG(KQ_LOG_ERROR, "[%s:%d]the modem NV backup %s cannot be read\n\n", MODEM_NV_BLOCK_FILE);
    return -1;
}

int up_modem_backup_NV(void)
{
    // The backup of an earlier, unfinished modem step is the one to restore:
    // the modem may already have been flashed and lost its items since.
    int pending = up_modem_nv_pending_check();
    if (pending < 0)
        return -1;
    if (pending == 1) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]modem NV had be backup during last modem update\n\n");
        return 0;
    }
    // Only a backup that reached the block file counts: flashing after a
    // backup that failed in every attempt would lose the items for good.
    // Each attempt asks for what the configuration asks for: a serial
    // number that could not be read clears its flag in the record, and a
    // later attempt would otherwise save a backup without it.
    const efs_h_cfg wanted = efs_config;
    int status = -1;
    for (int attempt = 0; attempt < NV_ATTEMPTS && status != 0; attempt++) {
        efs_config = wanted;
        status = backup_attempt();
    }
    if (mu_change_mode(file_info.at_inface, ONLINE_MODE) < 0)
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]change to FTM mode failed\n\n");
    if (status != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]backup NV failed and retry 3 timse\n\n");
        return -1;
    }
    return 0;
}

int up_modem_restore_NV(void)
{
    // The result is the restore's own, never a port descriptor: a restore
    // that failed must keep the backup for the next run. A high-NV file
    // that is not what the backup recorded (short, empty, missing) would
    // leave the RF calibration wiped: no attempt can mend that.
    // A damaged high-NV file does not keep the NV items and the identity of
    // an intact block from going back: they are restored, the high-NV
    // items are named, and the backup is kept whole for a later run.
    int status = -1;
    nv_high_summary high;
    if (nv_block_inspect(MODEM_NV_BLOCK_FILE, &high) != NV_BLOCK_OK) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]no usable modem NV backup %s to restore\n\n", MODEM_NV_BLOCK_FILE);
    } else {
        const bool high_ok = nv_high_file_check(MODEM_HIGH_NV_FILE, high) == 0;
        int parts = -1;
        for (int attempt = 0; attempt < NV_ATTEMPTS && parts != 0; attempt++)
            parts = restore_attempt(high_ok);
        if (!high_ok)
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]the high-priority NV items of the backup were not restored: %s is damaged, the backup is kept\n\n",
                   MODEM_HIGH_NV_FILE);
        status = high_ok ? parts : -1;
    }
    if (mu_change_mode(file_info.at_inface, ONLINE_MODE) < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]change to online failed\n\n");
        return -1;
    }
    if (status != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]up_modem_restore_NV failed.\n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]up_modem_restore_NV succed.\n\n");
    return 0;
}

int up_modem_restore_high_kept(const char *kept_high)
{
    // The NV items and identity are in the block the pair was set aside
    // with ("<block>.damaged-<n>" beside "<high>.damaged-<n>").
    std::string block = MODEM_NV_BLOCK_FILE;
    const char *dot = strrchr(kept_high, '.');
    if (dot != nullptr && strncmp(dot, ".damaged-", 9) == 0)
        block += dot;
    UP_LOG(KQ_LOG_ERROR, "[%s:%d]the modem NV backup is lost or damaged: its high-priority NV items are restored from %s, its NV items and identity are not (kept in %s)\n\n",
           kept_high, block.c_str());
    check_usb_port();
    if (mu_change_mode(file_info.at_inface, FTM_MODE) < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]change to ftm mode failed\n\n");
        return -1;
    }
    int rc = -1;
    for (int attempt = 0; attempt < NV_ATTEMPTS && rc != 0; attempt++) {
        unique_fd port(fd_re_open(file_info.diagnose_inface, 1));
        if (!port.ok()) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open diagnosetic port failed.\n\n");
            up_sleep_ms(RESTORE_RETRY_MS);
            continue;
        }
        rc = Write_High_NV_ITEM(port.get(), kept_high);
    }
    if (mu_change_mode(file_info.at_inface, ONLINE_MODE) < 0)
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]change to online failed\n\n");
    if (rc != 0)
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]the high-priority NV items of %s were not all restored\n\n", kept_high);
    return rc;
}

int up_modem_nv_backup_remove(void)
{
    // The restore of this run that every record confirmed is what allows
    // the removal (nv_backup_remove checks it again).
    if (nv_restore_confirmed())
        return nv_backup_remove(MODEM_NV_BLOCK_FILE, MODEM_HIGH_NV_FILE);
    if (path_exists(MODEM_NV_BLOCK_FILE)) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]%s was not restored: it is kept\n\n", MODEM_NV_BLOCK_FILE);
        return -1;
    }
    // A high-NV file without its block may be an operator's: kept.
    return 0;
}

int up_modem_nv_restore_pending(void)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the modem NV backup of an earlier update was never restored: restoring it first\n\n");
    if (up_modem_restore_NV() != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]the modem NV backup of an earlier update could not be restored: it is kept\n\n");
        return -1;
    }
    return up_modem_nv_backup_remove();
}

int modem_high_nv(int just_write)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]modem_high_nv ....\n\n");
    if (mu_change_mode(FIXED_AT_PORT, FTM_MODE) < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]change to ftm mode failed\n\n");
        return -1;
    }
    if (just_write == 0) {
        // The high-NV file of a pending backup is part of the only copy of
        // the modem's calibration: it is not replaced by a maintenance read.
        if (path_exists(MODEM_NV_BLOCK_FILE)) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]%s belongs to a modem NV backup that was not restored: kept\n\n",
                   MODEM_HIGH_NV_FILE);
            return -1;
        }
        if (Read_High_NV_ITEM(FIXED_DIAG_PORT, MODEM_HIGH_NV_FILE) < 0) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]read modem high nv failed\n\n");
            return -1;
        }
        return 0;
    }
    unique_fd port(OpenAndInitSerialCom(FIXED_DIAG_PORT, 0));
    if (!port.ok()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open the diag port failed\n\n");
        return -1;
    }
    if (Write_High_NV_ITEM(port.get(), MODEM_HIGH_NV_FILE) < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Write_High_NV_ITEM failed\n\n");
        return -1;
    }
    if (mu_change_mode(FIXED_AT_PORT, ONLINE_MODE) < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]change to onlie mode failed\n\n");
        return -1;
    }
    return 0;
}
