// The run's record of installed components and the resume state word kept
// after each record.

#include "kq_log.h"
#include "up_api.h"
#include "up_driver.h"
#include "up_progress.h"

update_step_table up_update_step_table[UP_STEP_TABLE_ROWS] = {
    {1, "boot_nontrust.bin", 0},
    {2, "zImage", 0},
    {3, "rootfs.jffs2", 0},
    {9, "default_nv", 0},
    {6, "dfi_version", 0},
    {-1, "", 0},
};

int32_t need_up_version = 1;

void up_driver_reset(void)
{
    // Only the flags change during a run; the ids and key words are fixed.
    for (update_step_table &row : up_update_step_table)
        row.update_flag = 0;
    need_up_version = 1;
}

int up_set_step_flag(int step_id)
{
    for (update_step_table &row : up_update_step_table) {
        if (row.partion_id == -1)
            break;
        if (row.partion_id == step_id) {
            row.update_flag = 1;
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d][%s][%d]: set update_flag:%d\n\n", __FILE_NAME__, __LINE__,
                   step_id);
            return 1;
        }
    }
    return 0;
}

int up_update_upgrade_status(int i_update_num, int i_all_num, int i_record_id)
{
    (void)i_all_num;
    update_state_t state = up_get_upgrade_status();
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]last update state is:%ld\n\n", (long)state);

    int32_t bit = 0;
    switch (i_record_id) {
    case PACKAGE_VERSION: break;
    case PACKAGE_BOOTLOADER: bit = UPDATE_STEP_BOOTLOADER; break;
    case PACKAGE_KERNEL: bit = UPDATE_STEP_KERNEL; break;
    case PACKAGE_ROOTFS: bit = UPDATE_STEP_ROOTFS; break;
    case PACKAGE_2NDFS: bit = UPDATE_STEP_2NDF; break;
    case PACKAGE_MODEM_IMAGE: bit = UPDATE_STEP_MODEM; break;
    default: UP_LOG(KQ_LOG_DEBUG, "[%s:%d]unkown record id\n\n"); break;
    }
    if (bit != 0) {
        // An unreadable word (-1) holds no step: start from none rather than
        // store garbage with one bit more.
        update_state_t next = (state < 0 ? 0 : state) | bit;
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]set update state :%ld\n\n", (long)next);
        up_set_upgrade_status(next);
    }
    if (i_update_num == 0)
        up_report_progress_to_lcd(UPGRADE_IN_PROGRESS, 0);
    up_report_progress_to_lcd(UPGRADE_IN_PROGRESS, 0);
    return 0;
}
