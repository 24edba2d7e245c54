// Tool-driven writer (file mode): the record is extracted into /tmp, then the
// platform's flash_erase and nandwrite put it into its partition.
#include <cstdarg>
#include <cstdio>

#include "kq_log.h"
#include "up_api.h"
#include "up_extract.h"
#include "up_partition.h"

namespace {

// Builds a command into cmd; false when it would not fit (never run a cut one).
bool build_cmd(char (&cmd)[256], const char *fmt, ...) __attribute__((format(printf, 2, 3)));
bool build_cmd(char (&cmd)[256], const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(cmd, sizeof cmd, fmt, ap);
    va_end(ap);
    return n >= 0 && n < (int)sizeof cmd;
}

int run_logged(const char *cmd)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]%s\n\n", cmd);
    if (up_util_sys_cmd(cmd) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]run %s failed\n\n", cmd);
        return -1;
    }
    return 0;
}

} // namespace

int up_process_update_partition(int i_flash_fd, const package_record_t *p_pack_record_t)
{
    const flash_partition_tab_t *row = nullptr;
    if (up_partition_for_record(p_pack_record_t, &row) != 0)
        return -1;
    if (row == nullptr)
        return 0;

    // The name becomes a path and a command word: it is checked before the
    // extraction creates anything.
    char name[UP_RECORD_NAME_MAX];
    if (up_record_file_name(p_pack_record_t, name, sizeof name) != 0)
        return -1;
    // nandwrite steps over bad blocks: the record must fit the good ones,
    // which is known before flash_erase touches anything.
    if (up_check_partition_room(p_pack_record_t, row) != 0)
        return -1;
    if (up_process_extract_submodule_file(i_flash_fd, p_pack_record_t) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]up_process_extract_submodule_file faield\n\n");
        return -1;
    }

    char cmd[256];
    if (!build_cmd(cmd, "/usr/bin/flash_erase %s %d %ld", row->ac_partition_name, 0,
                   (long)(row->i_len / UP_ERASE_BLOCK)) ||
        run_logged(cmd) != 0)
        return -1;
    if (!build_cmd(cmd, "/usr/bin/nandwrite -m -p %s /tmp/%s", row->ac_partition_name, name) ||
        run_logged(cmd) != 0)
        return -1;
    if (!build_cmd(cmd, "rm  /tmp/%s -rf", name) || run_logged(cmd) != 0)
        return -1;

    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]write sub-image file directly success \n\n");
    return 0;
}
