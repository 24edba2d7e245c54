// Backup of identity and NV items before a modem upgrade, and their restore.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include "identity_backup.h"
#include "kq_log.h"
#include "nv_backup_store.h"
#include "nv_items_io.h"
#include "nv_tables.h"
#include "serial_port.h"
#include "up_fd.h"

namespace {

constexpr char HIGH_NV_FILE[] = "/2ndfile/high_nv";
constexpr char BLOCK_FILE[] = "/2ndfile/modem_nv";
constexpr uint32_t SHORT_PAUSE_MS = 500;
constexpr uint32_t SETTLE_PAUSE_MS = 3000;

// The backup file starts anew with the identity record as its header. It
// lives in /tmp, so whatever stands at its name is removed first and the new
// file is created exclusively, never through a planted link.
int create_backup_file(const char *backup_file, const efs_h_cfg *cfg_nv)
{
    if (unlink(backup_file) != 0 && errno != ENOENT)
        return -1;
    unique_fd fd(open(backup_file, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.ok())
        return -1;
    return efs_cfg_write(fd.get(), cfg_nv);
}

} // namespace

int back_up_nv(const char *at_interface, const char *diag_interface, efs_h_cfg *cfg_nv,
               const char *backup_file)
{
    // A restore confirmed earlier in this run was of another backup.
    nv_restore_unconfirm();
    struct stat st {};
    // The high-NV file of a backup that was never restored belongs to that
    // backup: a fresh one must not take its place.
    if (lstat(BLOCK_FILE, &st) == 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]%s holds a backup that was not restored: no new backup is taken\n\n",
               BLOCK_FILE);
        return -1;
    }
    // A high-NV file without a block is an operator's (imgrenew nv_get) or
    // one of a backup cut short: never deleted, it is moved out of the way.
    if (lstat(HIGH_NV_FILE, &st) == 0 && nv_high_set_aside(HIGH_NV_FILE) < 0)
        return -1;
    int at_fd = OpenAndInitSerialCom(at_interface, 0);
    if (at_fd < 1) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open at port %s failed,at fd=%ld\n\n", at_interface, (long)at_fd);
        return -1;
    }
    unique_fd at(at_fd);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open at port successful.\n\n");
    int rc = InitNVItems_qd4700(cfg_nv);
    if (rc < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]call InitNVItems failed %ld.\n\n", (long)rc);
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]InitNVItems successful.\n\n");
    rc = BackupInfo(at.get(), cfg_nv);
    if (rc < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]call BackupInfo failed %ld.\n\n", (long)rc);
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]BackupInfo successful.\n\n");
    if (create_backup_file(backup_file, cfg_nv) != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]failed open backupfile %s\n\n", backup_file);
        return -1;
    }
    rc = Read_NV_ITEM(diag_interface, backup_file);
    if (rc < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]call Read_NV_ITEM failed %ld.\n\n", (long)rc);
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]bakup normal nv items successful.\n\n");
    rc = Read_High_NV_ITEM(diag_interface, HIGH_NV_FILE);
    if (rc < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]call Read_HIGH_NV_ITEM failed %ld.\n\n", (long)rc);
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]bakup HIGH_nv items successful.\n\n");
    at.reset();
    Sleep(SETTLE_PAUSE_MS);
    return 0;
}

int mu_restore_nv(int diag_fd, const char *at_interface, efs_h_cfg *cfg_nv,
                  const char *backup_file)
{
    return mu_restore_nv_parts(diag_fd, at_interface, cfg_nv, backup_file, true);
}

int mu_restore_nv_parts(int diag_fd, const char *at_interface, efs_h_cfg *cfg_nv, const char *backup_file,
                        bool with_high)
{
    // Only this attempt, when every record of it is confirmed, may allow
    // the backup's removal.
    nv_restore_unconfirm();
    int at_fd = OpenAndInitSerialCom(at_interface, 0);
    if (at_fd < 1) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open at port %s failed,at fd=%ld\n\n", at_interface, (long)at_fd);
        return -1;
    }
    unique_fd at(at_fd);
    Sleep(SHORT_PAUSE_MS);
    // Each part is put back even when another could not be: what the modem
    // took is back, what it did not stays in the backup for the next run.
    bool whole = true;
    int rc = 0;
    if (with_high) {
        rc = Write_High_NV_ITEM(diag_fd, HIGH_NV_FILE);
        if (rc < 0) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]call Write_High_NV_ITEM failed %ld.\n\n", (long)rc);
            whole = false;
        } else {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]high nv restored successful.\n\n");
        }
    }
    rc = Write_NV_ITEM(diag_fd, backup_file);
    if (rc < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]call Write_NV_ITEM failed %ld.\n\n", (long)rc);
        whole = false;
    } else {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]nv restored successful.\n\n");
    }
    Sleep(SHORT_PAUSE_MS);
    unique_fd bak(open(backup_file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!bak.ok()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]failed open backupfile %s\n\n", backup_file);
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]to get NV restore information\n\n");
    // The identity replayed is the one saved with the backup, not the one
    // of the configuration being installed.
    if (efs_cfg_read(bak.get(), cfg_nv) != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]failed open backupfile %s\n\n", backup_file);
        return -1;
    }
    bak.reset();
    if (RestoreInfo(at.get(), cfg_nv) < 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]the identity of the NV backup was not restored\n\n");
        return -1;
    }
    if (!whole)
        return -1;
    at.reset();
    if (!with_high) {
        Sleep(SETTLE_PAUSE_MS);
        return 0;
    }
    // Every high-NV record, NV record and identity value was confirmed.
    nv_restore_confirm();
    Sleep(SETTLE_PAUSE_MS);
    return 0;
}

int fd_re_open(const char *diagnose_inface, int exclusived)
{
    int fd = OpenAndInitSerialCom(diagnose_inface, exclusived);
    if (fd < 1) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open diagnosetic port failed.ret=%ld\n\n", (long)fd);
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open diagnosetic port successfully.\n\n");
    return fd;
}
