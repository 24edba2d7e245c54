// Bootloader record: the boot area has its own layout that only the NAND
// boot-stream tool knows, so the image is handed to it instead of being
// written with the partition writers.
#include <cstdio>

#include "kq_log.h"
#include "up_api.h"
#include "up_bootloader.h"
#include "up_extract.h"

int up_kobs_ng_command(const package_record_t *p_pack_record_t, char *cmd, size_t size)
{
    if (cmd == nullptr || size == 0)
        return -1;
    cmd[0] = '\0';
    char name[UP_RECORD_NAME_MAX];
    if (up_record_file_name(p_pack_record_t, name, sizeof name) != 0)
        return -1;
    int n = snprintf(cmd, size, UP_KOBS_NG " init " UP_TMP_DIR "/%s", name);
    if (n < 0 || (size_t)n >= size) {
        cmd[0] = '\0';   // never run a truncated command
        return -1;
    }
    return 0;
}

int up_process_update_uboot_image(const package_record_t *p_pack_record_t)
{
    if (p_pack_record_t == nullptr) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]input is NULL point \n\n");
        return -1;
    }
    char cmd[256];
    if (up_kobs_ng_command(p_pack_record_t, cmd, sizeof cmd) != 0)
        return -1;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]%s\n\n", cmd);
    if (up_util_sys_cmd(cmd) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]run %s failed\n\n", cmd);
        return -1;
    }
    return 0;
}

int up_uboot_image(int i_flash_fd, const package_record_t *p_pack_record_t)
{
    if (up_process_extract_submodule_file(i_flash_fd, p_pack_record_t) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]extrat u-boot.bin error\n\n");
        return -1;
    }
    if (up_process_update_uboot_image(p_pack_record_t) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]update u-boot.bin error\n\n");
        return -1;
    }
    return 0;
}
