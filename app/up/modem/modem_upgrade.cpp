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
#include "modem_ports.h"
#include "modem_sub_images.h"
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

// What the walk does with each sub-image type. The log texts follow the
// "[%s:%d]" prefix.
struct sub_image_kind {
    uint32_t type;
    int32_t modem_check_point_t::*flag;   // null: sent in every attempt
    sub_image_handler handler;
    const char *type_line;
    const char *failure_line;
    const char *success_line;
};

constexpr sub_image_kind SUB_IMAGES[] = {
    {MODEM_IMG_HEX, nullptr, up_modem_sub_hex, "This is a hex image.\n\n",
     "downlaod hex bin faile faield.\n\n", "downlaod hex bin success .\n\n"},
    {MODEM_IMG_PARTITION, nullptr, up_modem_sub_partition, "This is a patition table image.\n\n",
     "downlaod partition file faield.\n\n", "downlaod partition file success.\n\n"},
    {MODEM_IMG_DBL, &modem_check_point_t::dbl_download, up_modem_sub_Dbl,
     "This is a device boot loader image.\n\n", "downlaod DEVBLR file faield.\n\n",
     "downlaod DEVBLR file success.\n\n"},
    {MODEM_IMG_FSBL, &modem_check_point_t::fsbl_download, up_modem_sub_Fbl,
     "This is a FAIL SAFE BOOT LOADER image.\n\n", "downlaod FASBLR file faield.\n\n",
     "downlaod FASBLR file success.\n\n"},
    {MODEM_IMG_OSBL, &modem_check_point_t::osbl_download, up_modem_sub_Osbl,
     "This is a OS BOOT LOADER image.\n\n", "downlaod OSBLR file faield.\n\n",
     "downlaod OSBLR file success.\n\n"},
    {MODEM_IMG_AMSS, &modem_check_point_t::amss_download, up_modem_sub_Amsmim,
     "This is a AMSMIM image.\n\n", "downlaod Amsmim file faield.\n\n",
     "downlaod Amsmim file success.\n\n"},
    {MODEM_IMG_DSP1, &modem_check_point_t::dsp1_download, up_modem_sub_Dsp1,
     "This is a DSP1 image.\n\n", "downlaod Dsp1 file faield.\n\n", "downlaod Dsp1 file success.\n\n"},
    {MODEM_IMG_DSP2, &modem_check_point_t::dsp2_download, up_modem_sub_Dsp2,
     "This is a DSP2 image.\n\n", "downlaod Dsp2 file faield.\n\n", "downlaod Dsp2 file success.\n\n"},
    {MODEM_IMG_EFS, &modem_check_point_t::efs_download, up_modem_sub_Efs,
     "This is a EFS image.\n\n", "downlaod Befs file faield.\n\n", "downlaod Befs file success.\n\n"},
};

const sub_image_kind *kind_of(uint32_t type)
{
    for (const sub_image_kind &k : SUB_IMAGES) {
        if (k.type == type)
            return &k;
    }
    return nullptr;
}

bool all_flags_set(void)
{
    const modem_check_point_t &c = check_point;
    return c.dbl_download == 1 && c.fsbl_download == 1 && c.osbl_download == 1 &&
           c.amss_download == 1 && c.dsp1_download == 1 && c.dsp2_download == 1 &&
           c.efs_download == 1;
}

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

// Handles one table entry whose kind is known, its body at img. The status
// of the entry.
int flash_entry(const package_span &img, const fw_h_t *entry, const sub_image_kind &k, uint32_t *num)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]%s", k.type_line);
    int status = check_usb_port();
    if (status < 0) {
        if (k.type != MODEM_IMG_HEX)
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]check USB port failed\n\n");
        return status;
    }
    if (k.flag != nullptr && check_point.*k.flag == 1) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]this sub image had beend update\n");
        return 0;
    }
    const bool dsp2 = k.type == MODEM_IMG_DSP2;
    const uint32_t had_before = had_write;
    if (dsp2)
        report_dsp2_up_process = 1;   // the stream counts DSP2 block by block
    status = k.handler(file_info.diagnose_inface, img);
    if (status != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]%s", k.failure_line);
        // Blocks of a failed DSP2 attempt are counted again by the retry.
        if (dsp2)
            had_write = had_before;
        return status;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]%s", k.success_line);
    if (k.flag != nullptr)
        check_point.*k.flag = 1;
    *num += entry->fw_h_size;
    if (dsp2) {
        report_dsp2_up_process = 2;
    } else {
        up_add_had_write(entry->fw_h_size);
        report_progress();
    }
    return 0;
}

enum walk_result { WALK_DONE, WALK_RETRY, WALK_ABORT };

// One download attempt over the table from entry 1, whose body starts at
// package offset body_at.
walk_result walk_table(int src, uint64_t body_at, uint32_t base_num, uint32_t container_size)
{
    uint32_t num = base_num;
    int head_index = 0;
    while (num < container_size) {
        head_index++;
        // The table has an end mark behind its last entry, at the latest in
        // the last slot.
        const fw_h_t *entry = &headbuf[head_index < MODEM_TABLE_SLOTS ? head_index : MODEM_TABLE_SLOTS - 1];
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]img_hdr size is %ld----magic =%lu----num=%d---fw_hdr.fw_h_size=%d\n\n",
               (long)entry->fw_h_size, (unsigned long)entry->fw_h_magic, (int)num, (int)container_size);
        if (entry->fw_h_magic == MODEM_IMG_END || head_index >= MODEM_TABLE_SLOTS) {
            if (!all_flags_set())
                return WALK_ABORT;
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]all sub image had beend update, so wil break loop to restore backup\n\n");
            return WALK_DONE;
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the Diag port=%s ------AT port =%s \n\n",
               file_info.diagnose_inface, file_info.at_inface);
        const sub_image_kind *k = kind_of(entry->fw_h_magic);
        if (k == nullptr) {
            // Skipped by its size, so the next entry is read from its start.
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]unknown sub image type 0x%lx, %lu bytes skipped\n\n",
                   (unsigned long)entry->fw_h_magic, (unsigned long)entry->fw_h_size);
            num += entry->fw_h_size;
            body_at += entry->fw_h_size;
            continue;
        }
        const package_span img{src, body_at, entry->fw_h_size};
        body_at += entry->fw_h_size;
        if (flash_entry(img, entry, *k, &num) != 0) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update failed, after reset will to retry\n\n");
            reset_modem();
            return WALK_RETRY;
        }
    }
    return WALK_DONE;
}

// Up to MODEM_DOWNLOAD_ATTEMPTS walks from entry 1's body, which starts at
// package offset body_at, where base_num bytes of the container are
// accounted for. 0 when one finished, -1 otherwise.
int download_attempts(int src, uint64_t body_at, uint32_t base_num, uint32_t container_size)
{
    for (int retry = 0; retry < MODEM_DOWNLOAD_ATTEMPTS; retry++) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]will to do NO %d retry downlaod \n\n", retry);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]to check whether had jump port\n\n");
        check_usb_port();
        switch (walk_table(src, body_at, base_num, container_size)) {
        case WALK_DONE:
            return 0;
        case WALK_ABORT:
            return -1;
        case WALK_RETRY:
            break;
        }
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update modem failed and retry 3 times, will exit update process\n\n");
    return -1;
}

// Steps after the walk, also taken when the container header was unusable.
// The step's result.
int closing_steps(int status)
{
    // A backup left by an earlier step is restored whatever this package's
    // INI asks: it is the only copy of the modem's items.
    if (file_info.efs_restore == 1 || up_modem_nv_backup_pending()) {
        up_sleep_ms(BEFORE_RESTORE_MS);
        if (up_modem_restore_NV() != 0) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]after update, resoter NV failed\n\n");
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
    up_modem_nv_backup_remove();   // only what the restore above confirmed
    if (mu_change_mode(file_info.at_inface, "AT+CFUN=1\r\n\r\n") < 0)
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]change to online failed\n\n");
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

    stop_process("kq_wm", false);
    stop_process("modem_pro", true);
    stop_process("udhcpc", true);

    reset_modem();
    up_sleep_ms(AFTER_RESET_MS);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Start loading modem file...\n\n");

    fw_h_t head{};
    uint32_t num = 0;
    const package_span rec{i_flash_fd, p_pack_record_t->record_offset, p_pack_record_t->record_length};
    int rc = open_container(rec, &head, &num);
    if (rc == FUU_FLE_ERR) {
        // No INI is read from a refused container, but a pending backup is
        // still restored by the closing steps: they need the modem's ports.
        const int pending = up_modem_nv_pending_check();
        if (pending < 0 || (pending == 1 && wait_for_modem_ports() != 0))
            return -1;
        return closing_steps(FUU_FLE_ERR);
    }
    if (rc != 0)
        return -1;
    const int src = i_flash_fd;

    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]had write %d \n\n", (int)num);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]had_write=%lu----will add =%ld\n\n", (unsigned long)had_write, (long)num);
    up_add_had_write(num);
    report_progress();

    if (modem_container_copy_ini(rec, MODEM_INI_FILE, &num) != 0)
        return -1;
    get_file_info_config(MODEM_INI_FILE);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get ini config info successful.\n\n");

    if (wait_for_modem_ports() != 0)
        return -1;

    const int pending = up_modem_nv_pending_check();
    if (pending < 0)
        return -1;
    if (file_info.efs_enabled == 1)
        file_info.efs_restore = 1;
    // A package that does not preserve NV items would flash over a backup
    // it never restores: the pending backup goes back into the modem first.
    if (pending == 1 && file_info.efs_restore != 1 && up_modem_nv_restore_pending() != 0)
        return -1;

    if (check_no_need_update() == 0) {
        // A backup left behind means an earlier step flashed this very
        // firmware and was cut before its restore: the modem runs the new
        // version with its items wiped, and only this backup holds them.
        if (up_modem_nv_backup_pending()) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the modem runs the new firmware but its NV backup was not restored yet: restoring it\n\n");
            file_info.efs_restore = 1;
            int status = closing_steps(FUU_OK);
            if (status != FUU_OK)
                return status;
            up_add_had_write(head.fw_h_size);
            report_progress();
            return status;
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the curren modem version is same with update firmware\n");
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]had_write=%lu----will add =%ld\n\n", (unsigned long)had_write,
               (long)head.fw_h_size);
        up_add_had_write(head.fw_h_size);
        report_progress();
        up_sleep_ms(SAME_VERSION_WAIT_MS);
        return 0;
    }

    if (file_info.efs_restore == 1) {
        if (backup_nv() != 0)
            return -1;
        // The modem is flashed only while a complete backup exists.
        if (!up_modem_nv_backup_pending()) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]no complete modem NV backup: nothing is flashed\n\n");
            return -1;
        }
    }

    send_offlin_cmd(file_info.diagnose_inface);
    if (download_attempts(src, rec.off + num, num, head.fw_h_size) != 0)
        return -1;
    return closing_steps(FUU_OK);
}
