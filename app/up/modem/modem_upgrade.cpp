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

int io_send(void *, uint32_t type, const package_span &img)
{
    for (const sub_image_handler_row &h : HANDLERS) {
        if (h.type == type)
            return h.handler(file_info.diagnose_inface, img);
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

    // A backup left behind means an earlier step backed the modem up and was
    // cut before it finished. The modem may then hold only a part of the new
    // firmware: the version it reports comes from the AMSS image, which is
    // stored before the DSP1, DSP2 and EFS images. Its version decides
    // nothing: every image is flashed again, and the backup restored after.
    if (up_modem_nv_backup_pending()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]an earlier modem update did not finish (its NV backup was not restored yet): every image is flashed again\n\n");
        file_info.efs_restore = 1;
    } else if (check_no_need_update() == 0) {
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
    const modem_flash_io io{nullptr, io_check_port, io_send, io_reset, io_progress, io_nv_backup_complete, nullptr};
    const modem_walk walk{{headbuf, MODEM_TABLE_SLOTS}, rec.off + num, num, head.fw_h_size};
    if (modem_flash_run(io, src, walk) != 0)
        return -1;
    return closing_steps(FUU_OK);
}
