// The modem step of an upgrade. A modem upgrade takes minutes of waits and
// power cycles, and a wrong step can leave a modem that no longer boots: each
// sub-image is flashed at most once per step, a failure power-cycles the
// modem and restarts the walk, and a container that cannot be trusted is
// refused before anything reaches the modem.
#include "modem_upgrade.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "at_channel.h"
#include "dload_commands.h"
#include "dload_stream.h"
#include "kq_log.h"
#include "modem_config.h"
#include "modem_container.h"
#include "modem_plan_run.h"
#include "modem_ports.h"
#include "modem_sub_images.h"
#include "modem_txn_run.h"
#include "modem_plan.h"
#include "nv_backup_store.h"
#include "up_api.h"
#include "up_driver.h"
#include "up_progress.h"
#include "up_wait.h"

modem_check_point_t check_point;

namespace {

constexpr unsigned KILL_WAIT_MS = 500;
constexpr int KILL_TRIES = 10;
constexpr unsigned AFTER_RESET_MS = 2000;
constexpr unsigned SAME_VERSION_WAIT_MS = 2000;
constexpr unsigned BEFORE_RESTORE_MS = 6000;
constexpr unsigned BEFORE_CLOSE_MS = 1000;

using sub_image_handler = int (*)(const char *, const package_span &);

// The handler of each sub-image type the walk knows; what the walk does with
// each type (its skip flag, its log lines) is in modem_plan.cpp.
struct sub_image_handler_row {
    uint32_t type;
    sub_image_handler handler;
};

constexpr sub_image_handler_row HANDLERS[] = {
    {MODEM_IMG_HEX, up_modem_sub_hex},     {MODEM_IMG_PARTITION, up_modem_sub_partition},
    {MODEM_IMG_DBL, up_modem_sub_Dbl},     {MODEM_IMG_FSBL, up_modem_sub_Fbl},
    {MODEM_IMG_OSBL, up_modem_sub_Osbl},   {MODEM_IMG_AMSS, up_modem_sub_Amsmim},
    {MODEM_IMG_DSP1, up_modem_sub_Dsp1},   {MODEM_IMG_DSP2, up_modem_sub_Dsp2},
    {MODEM_IMG_EFS, up_modem_sub_Efs},
};

void report_progress(void)
{
    up_report_progress_to_lcd(1, 0);
}

void run_logged(const char *cmd)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]run :%s\n\n", cmd);
    up_util_sys_cmd(cmd);
}

// Kills a process found by name (its id is a number from /proc, so the
// command holds nothing else). A process that survives its kill is tried
// KILL_TRIES times in all, then the step goes on.
void stop_process(const char *name, bool repeat)
{
    for (int i = 0; i < (repeat ? KILL_TRIES : 1); i++) {
        int32_t pid = 0;
        if (check_process(name, &pid) == 0)
            return;
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]will to kill %s process\n\n",
               strcmp(name, "kq_wm") == 0 ? "kq_wm" : "modem_pro");
        std::array<char, 32> cmd{};
        snprintf(cmd.data(), cmd.size(), "kill %ld", (long)pid);
        run_logged(cmd.data());
        up_sleep_ms(KILL_WAIT_MS);
    }
}

// The modem's ports after its power cycle: at most MODEM_PORT_DETECTIONS
// detections one second apart, so a modem that never shows ends the step
// in bounded time.
int wait_for_modem_ports(void)
{
    for (int i = 0; i < MODEM_PORT_DETECTIONS; i++) {
        if (check_usb_port_in(MODEM_USB_DEVICES, 1) == 0)
            return 0;
        up_sleep_ms(MODEM_PORT_RETRY_MS);
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]no modem port found after %ld detections, modem update failed\n\n",
           (long)MODEM_PORT_DETECTIONS);
    return -1;
}

// A fresh backup reaches the block file only when complete, so a failed
// one leaves at most its own high-NV file; a pending block is never touched.
int backup_nv(void)
{
    if (up_modem_backup_NV() != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]backup modem NV failed\n\n");
        up_modem_nv_backup_remove();
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]backup modem NV success\n\n");
    return 0;
}

// The modem's side of the download attempts.
int io_check_port(void *)
{
    return check_usb_port();
}

// The modem transaction of this step: its journal and the attached modem.
modem_txn g_txn;

// An image stored is noted in the journal at once, so that a rerun of the
// same container flashes only what is not stored yet.
void note_stored(uint32_t type)
{
    const modem_image_kind *k = modem_image_kind_of(type);
    if (k == nullptr || k->flag == nullptr || g_txn.state != MJ_OK)
        return;
    modem_check_point_t now = check_point;
    now.*k->flag = 1;
    const uint32_t mask = modem_txn_stored_mask(now);
    if (mask == g_txn.journal.stored)
        return;
    g_txn.journal.stored = mask;
    modem_txn_put(&g_txn, MJ_FLASHING);
}

int io_send(void *, uint32_t type, const package_span &img)
{
    for (const sub_image_handler_row &h : HANDLERS) {
        if (h.type != type)
            continue;
        const int rc = h.handler(file_info.diagnose_inface, img);
        if (rc == 0)
            note_stored(type);
        return rc;
    }
    return -1;
}

void io_reset(void *)
{
    reset_modem();
}

void io_progress(void *)
{
    report_progress();
}

bool io_nv_backup_complete(void *)
{
    return up_modem_nv_backup_pending();
}

void set_online(void)
{
    if (mu_change_mode(file_info.at_inface, "AT+CFUN=1\r\n\r\n") < 0)
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]change to online failed\n\n");
}

// The restore of the transaction's backup and the end of the transaction:
// the journal says "restored", the backup goes (only what the restore
// confirmed), and the journal is removed last. The step's result.
int closing_steps(int status, bool backup)
{
    // A backup left by an earlier step is restored whatever this package's
    // INI asks: it is the only copy of the modem's items.
    if (backup || up_modem_nv_backup_pending()) {
        up_sleep_ms(BEFORE_RESTORE_MS);
        if (up_modem_restore_NV() != 0) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]after update, resoter NV failed\n\n");
            set_online();
            if (g_txn.state != MJ_NONE)
                modem_txn_log_unfinished(g_txn, "the modem NV backup is not fully restored, it is kept");
            return -1;
        }
    }
    up_sleep_ms(BEFORE_CLOSE_MS);
    fflush(stdout);
    if (status == 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]modem update successful,please reset the comuter!\n\n");
    } else {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]reset failed!\n\n");
        status = FUU_RSET_ERR;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]modem update successful.resetting......,please wait!\n\n");
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]to clear the NV backup file\n\n");
    if (status == 0 && g_txn.state == MJ_OK && modem_txn_put(&g_txn, MJ_RESTORED) != 0)
        status = -1;
    up_modem_nv_backup_remove();   // only what the restore above confirmed
    if (status == 0 && g_txn.state != MJ_NONE) {
        // The high-NV file of the transaction's backup, should a power cut
        // have stopped the removal between the block and it.
        if ((g_txn.journal.flags & MJ_FLAG_BACKUP) != 0 && nv_block_inspect(MODEM_NV_BLOCK_FILE, nullptr) == NV_BLOCK_NONE)
            nv_stray_high_remove(MODEM_NV_BLOCK_FILE, MODEM_HIGH_NV_FILE);
        if (up_modem_nv_backup_pending() || modem_txn_close(&g_txn) != 0)
            status = -1;
    }
    set_online();
    return status;
}

// Opens and checks the container at the modem record. 0 (*num the header
// and table bytes), FUU_FLE_ERR or -1.
int open_container(const package_span &rec, fw_h_t *head, uint32_t *num)
{
    // The container is always read from the package itself: a file in the
    // world-writable /tmp could have been put there by anyone.
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]try to open fixed partition \n\n");
    if (rec.fd < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]try to open fixed partition failed\n\n");
        return -1;
    }
    return modem_container_open(rec, head, num);
}

// Stops what holds the modem and powers it up afresh.
void take_the_modem(void)
{
    stop_process("kq_wm", false);
    stop_process("modem_pro", true);
    stop_process("udhcpc", true);
    reset_modem();
    up_sleep_ms(AFTER_RESET_MS);
}

// A journal of a backup that never reached its block: nothing was sent, the
// high-NV file beside it (if any) is that backup's and goes with it.
void drop_unfinished_backup_journal(void)
{
    if (g_txn.state != MJ_OK || g_txn.journal.phase != MJ_BACKING_UP || up_modem_nv_backup_pending())
        return;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the modem NV backup of an earlier update never reached its block: nothing was flashed\n\n");
    nv_stray_high_remove(MODEM_NV_BLOCK_FILE, MODEM_HIGH_NV_FILE);
    modem_txn_close(&g_txn);
}

// The high-NV file kept for a lost or damaged block of the transaction.
std::string g_kept_high;

// The RF calibration of a lost or damaged block goes back from its kept
// high-NV file; the step goes on (or fails) as decided.
void restore_kept_high(const txn_decision &d)
{
    if (!d.restore_high)
        return;
    up_sleep_ms(BEFORE_RESTORE_MS);
    up_modem_restore_high_kept(g_kept_high.c_str());
}

// What the step knows before it decides, read from the journal, the backup,
// the container and the modem. -1 when something cannot be read.
int gather_facts(int container_rc, const fw_h_t &head, txn_facts *f)
{
    const int pending = up_modem_nv_pending_check();
    if (pending < 0)
        return -1;
    drop_unfinished_backup_journal();
    f->journal = modem_txn_journal_fact(g_txn);
    f->phase = g_txn.journal.phase;
    f->backup_pending = pending == 1;
    f->backup_expected = modem_txn_backup_expected(g_txn, false);
    f->high_kept = modem_txn_high_kept(g_txn, f->backup_pending, &g_kept_high);
    f->container = container_rc == 0;
    const bool open = f->backup_pending || g_txn.state != MJ_NONE;
    if (f->container) {
        if (file_info.efs_enabled == 1)
            file_info.efs_restore = 1;
        f->preserve = file_info.efs_restore == 1;
        f->same_container = g_txn.state == MJ_OK && g_txn.journal.container_crc == head.fw_h_csum &&
                            g_txn.journal.container_size == head.fw_h_size &&
                            strncmp(g_txn.journal.version.data(), file_info.InnerVersion, MJ_VERSION_SIZE - 1) == 0;
        f->all_stored = f->same_container && (g_txn.journal.stored & 0x7Fu) == 0x7Fu;
    }
    if (!f->container && !open)
        return 0;
    f->modem_answers = wait_for_modem_ports() == 0;
    if (!f->modem_answers)
        return 0;
    // The IMEI is read whatever the INI asks: the journal names the modem its
    // transaction is about, so that a transaction cut without a backup is not
    // finished on another modem.
    modem_txn_read_imei(&g_txn);
    f->imei = modem_txn_compare_imei(g_txn, f->backup_pending);
    if (!open && f->container)
        f->same_version = check_no_need_update() == 0;
    return 0;
}

// A fresh backup for the transaction: the journal says "backing up" while
// it is read (so that a high-NV file of a backup cut short is known as this
// backup's), then "backed up" with the backup noted.
int take_backup(const fw_h_t &head)
{
    const bool new_txn = g_txn.state == MJ_NONE;
    if (new_txn) {
        modem_txn_begin(&g_txn, head.fw_h_size, head.fw_h_csum, file_info.InnerVersion, false);
        if (modem_txn_put(&g_txn, MJ_BACKING_UP) != 0)
            return -1;
    }
    if (backup_nv() != 0 || !up_modem_nv_backup_pending()) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]no complete modem NV backup: nothing is flashed\n\n");
        // A high-NV file without its block is this failed backup's: one
        // that was there before was moved aside when the backup began.
        if (nv_block_inspect(MODEM_NV_BLOCK_FILE, nullptr) == NV_BLOCK_NONE)
            nv_stray_high_remove(MODEM_NV_BLOCK_FILE, MODEM_HIGH_NV_FILE);
        if (new_txn)
            modem_txn_close(&g_txn);
        return -1;
    }
    modem_txn_note_backup(&g_txn);
    return modem_txn_put(&g_txn, MJ_BACKED_UP);
}

// Flashes the container (what the journal does not list as stored, for a
// transaction of the same container), then restores.
int flash_and_restore(const txn_decision &d, const package_span &rec, const fw_h_t &head, uint32_t num, bool backup)
{
    if (d.take_backup && take_backup(head) != 0)
        return -1;
    if (d.step == txn_step::flash) {
        // A new transaction, or another container for an open one: every
        // image is sent again; the modem and the backup stay the ones of
        // the open transaction.
        // (The skip flags are those of the version check, which marks the
        // base images of a modem that needs only the EFS; it runs only
        // while nothing is open.)
        modem_txn_begin(&g_txn, head.fw_h_size, head.fw_h_csum, file_info.InnerVersion,
                        up_modem_nv_backup_pending());
    } else {
        modem_txn_flags_from(g_txn, &check_point);
    }
    if (d.step != txn_step::restore) {
        // The journal is on disk before the first image goes out.
        if (modem_txn_put(&g_txn, MJ_FLASHING) != 0)
            return -1;
        if (file_info.efs_restore == 1 && !up_modem_nv_backup_pending()) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]no complete modem NV backup: nothing is flashed\n\n");
            return -1;
        }
        send_offlin_cmd(file_info.diagnose_inface);
        const modem_flash_io io{nullptr, io_check_port, io_send, io_reset, io_progress, io_nv_backup_complete, nullptr};
        const modem_walk walk{{headbuf, MODEM_TABLE_SLOTS}, rec.off + num, num, head.fw_h_size};
        if (modem_flash_run(io, rec.fd, walk) != 0) {
            modem_txn_log_unfinished(g_txn, "the modem does not hold every image yet");
            return -1;
        }
        g_txn.journal.stored = modem_txn_stored_mask(check_point);
        if (modem_txn_put(&g_txn, MJ_FLASHED) != 0)
            return -1;
        // The programmer's reset follows the EFS image: without one the
        // modem is still in the programmer, and a restore needs its
        // firmware running.
        if (file_info.efs_enabled != 1 && (backup || modem_txn_backup_expected(g_txn, up_modem_nv_backup_pending()))) {
            reset_modem();
            if (wait_for_modem_ports() != 0) {
                modem_txn_log_unfinished(g_txn, "the modem does not answer after its flash");
                return -1;
            }
        }
    }
    // A step that preserves NV restores: without a whole backup the
    // restore fails, and the step with it.
    return closing_steps(FUU_OK, backup || file_info.efs_restore == 1 ||
                                     modem_txn_backup_expected(g_txn, up_modem_nv_backup_pending()));
}

// No usable container while a transaction is open: a pending backup goes
// back into a modem that answers, and the step fails naming the modem.
int finish_unfinished(const txn_decision &d)
{
    if (d.restore) {
        up_sleep_ms(BEFORE_RESTORE_MS);
        if (up_modem_restore_NV() == 0) {
            // The values are back in the modem: the transaction has no
            // backup left to restore, only images left to flash. The journal
            // says so before the backup goes, as at the transaction's end: a
            // power cut between the two leaves a backup restored once more,
            // never a journal waiting for a backup that is gone.
            if (g_txn.state != MJ_OK) {
                up_modem_nv_backup_remove();
            } else {
                g_txn.journal.flags &= ~MJ_FLAG_BACKUP;
                if (modem_txn_put(&g_txn, g_txn.journal.phase) == 0)
                    up_modem_nv_backup_remove();
            }
        } else {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]after update, resoter NV failed\n\n");
        }
        set_online();
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]reset failed!\n\n");
    modem_txn_log_unfinished(g_txn, "this package carries no usable modem firmware to complete it");
    return FUU_RSET_ERR;
}

} // namespace

int up_process_update_modem_image(int i_flash_fd, const package_record_t *p_pack_record_t)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]start modem_upgrade ....\n\n");
    report_dsp2_up_process = 0;
    if (p_pack_record_t == nullptr) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]input parameter error.\n\n");
        return -1;
    }
    check_point = modem_check_point_t{};
    report_progress();

    take_the_modem();
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Start loading modem file...\n\n");
    modem_txn_leftovers_remove();
    if (modem_txn_load(&g_txn) != 0)
        return -1;

    fw_h_t head{};
    uint32_t num = 0;
    const package_span rec{i_flash_fd, p_pack_record_t->record_offset, p_pack_record_t->record_length};
    int rc = open_container(rec, &head, &num);
    if (rc == 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]had write %d \n\n", (int)num);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]had_write=%lu----will add =%ld\n\n", (unsigned long)had_write, (long)num);
        up_add_had_write(num);
        report_progress();
        if (modem_container_copy_ini(rec, MODEM_INI_FILE, &num) != 0)
            return -1;
        get_file_info_config(MODEM_INI_FILE);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get ini config info successful.\n\n");
    }

    txn_facts f;
    if (gather_facts(rc, head, &f) != 0)
        return -1;
    const txn_decision d = modem_txn_decide(f);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]modem step: %s\n\n", modem_txn_step_name(d.step));
    restore_kept_high(d);
    switch (d.step) {
    case txn_step::none:
        // A refused container and nothing open: the step fails as it always has.
        if (rc == FUU_FLE_ERR)
            return closing_steps(FUU_FLE_ERR, false);
        return -1;
    case txn_step::no_modem:
        if (g_txn.state != MJ_NONE || f.backup_pending)
            modem_txn_log_unfinished(g_txn, "the modem does not answer");
        return -1;
    case txn_step::refuse_modem:
        modem_txn_log_unfinished(g_txn, "another modem is attached");
        return -1;
    case txn_step::unfinished:
        return finish_unfinished(d);
    case txn_step::same_version:
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the curren modem version is same with update firmware\n");
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]had_write=%lu----will add =%ld\n\n", (unsigned long)had_write,
               (long)head.fw_h_size);
        up_add_had_write(head.fw_h_size);
        report_progress();
        up_sleep_ms(SAME_VERSION_WAIT_MS);
        return 0;
    case txn_step::finish:
        return closing_steps(FUU_OK, false);
    case txn_step::flash:
    case txn_step::flash_rest:
    case txn_step::restore:
        if (g_txn.state != MJ_NONE || f.backup_pending) {
            // The modem may hold only a part of a firmware: the version it
            // reports comes from the AMSS image, stored before the DSP1,
            // DSP2 and EFS images, and decides nothing.
            if (d.step == txn_step::flash)
                UP_LOG(KQ_LOG_DEBUG, "[%s:%d]an earlier modem update did not finish (its NV backup was not restored yet): every image is flashed again\n\n");
            else if (d.step == txn_step::flash_rest)
                UP_LOG(KQ_LOG_DEBUG, "[%s:%d]an earlier modem update did not finish: the images it did not store are flashed\n\n");
            else
                UP_LOG(KQ_LOG_DEBUG, "[%s:%d]an earlier modem update stored every image: its NV backup is restored\n\n");
            if (f.backup_pending)
                file_info.efs_restore = 1;
        }
        return flash_and_restore(d, rec, head, num, f.backup_pending);
    }
    return -1;
}

int up_modem_unfinished_check(void)
{
    modem_txn_leftovers_remove();
    if (modem_txn_load(&g_txn) != 0)
        return -1;
    const int pending = up_modem_nv_pending_check();
    if (pending < 0)
        return -1;
    drop_unfinished_backup_journal();
    if (g_txn.state == MJ_NONE && pending == 0)
        return 0;
    UP_LOG(KQ_LOG_ERROR, "[%s:%d]an earlier modem update did not finish and this package carries no modem firmware\n\n");
    take_the_modem();
    txn_facts f;
    f.journal = modem_txn_journal_fact(g_txn);
    f.phase = g_txn.journal.phase;
    f.backup_pending = pending == 1;
    f.backup_expected = modem_txn_backup_expected(g_txn, false);
    f.high_kept = modem_txn_high_kept(g_txn, f.backup_pending, &g_kept_high);
    f.modem_answers = wait_for_modem_ports() == 0;
    if (f.modem_answers) {
        modem_txn_read_imei(&g_txn);
        f.imei = modem_txn_compare_imei(g_txn, f.backup_pending);
    }
    const txn_decision d = modem_txn_decide(f);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]modem step: %s\n\n", modem_txn_step_name(d.step));
    if (d.step == txn_step::refuse_modem) {
        modem_txn_log_unfinished(g_txn, "another modem is attached");
        return -1;
    }
    restore_kept_high(d);
    finish_unfinished(d);
    return -1;
}
