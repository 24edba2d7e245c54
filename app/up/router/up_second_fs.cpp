// Compressed second file system record: unpacked into "/tmp/2ndrootfs" and
// installed into the mounted second file system.
#include "kq_log.h"
#include "up_api.h"
#include "up_driver.h"
#include "up_extract.h"
#include "up_records.h"

int up_process_update_database(void)
{
    if (up_install_database_from(UP_TMP_DIR, UP_UNPACK_DIR, UP_2NDFILE_ROOT) != 0)
        return -1;
    up_set_step_flag(9);   // "default_nv": the version merge takes the package's line
    return 0;
}

int up_process_update_rep_directly_res(void)
{
    return up_install_resources_from(UP_TMP_DIR, UP_UNPACK_DIR, UP_2NDFILE_ROOT);
}

int up_process_update_2nd_others(void)
{
    return 0;
}

int up_process_update_2nd_file_system(const package_record_t *p_pack_record_t)
{
    (void)p_pack_record_t;
    if (up_process_update_database() != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]update database error\n\n");
        return -1;
    }
    if (up_process_update_rep_directly_res() != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]update some replace directly resouce error\n\n");
        return -1;
    }
    if (up_process_update_2nd_others() != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]update others resource error\n\n");
        return -1;
    }
    if (up_util_sys_cmd("rm -rf " UP_UNPACK_DIR) != 0)
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]rm /tmp/2ndfile error\n\n");
    return 0;
}

int up_update_2nd_fs(int i_flash_fd, const package_record_t *p_pack_record_t)
{
    if (up_process_extract_submodule_file(i_flash_fd, p_pack_record_t) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]extrat 2nd fs error\n\n");
        return -1;
    }
    if (up_process_update_2nd_file_system(p_pack_record_t) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]update 2nd fs error\n\n");
        return -1;
    }
    return 0;
}
