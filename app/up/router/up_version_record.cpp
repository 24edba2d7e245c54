// Version record: only copied into "/tmp" here; the driver merges it with the
// installed file after the last record.
#include <cstdio>
#include <unistd.h>

#include "kq_log.h"
#include "up_extract.h"
#include "up_records.h"
#include "up_tmp_file.h"

int up_update_version_file(int i_flash_fd, const package_record_t *p_pack_record_t)
{
    // A rerun finds the file an interrupted run extracted. The test uses the
    // whole name; a name that is no safe file name is not looked up at all.
    // Only a file this tool made in this boot counts (a regular file of
    // root's, /tmp being new at each boot); anything else at the name is
    // replaced by the extraction.
    char whole[UP_RECORD_NAME_MAX];
    if (up_record_whole_name(p_pack_record_t, whole, sizeof whole) == 0) {
        char path[256];
        int n = snprintf(path, sizeof path, UP_TMP_DIR "/%s", whole);
        if (n > 0 && n < (int)sizeof path && up_tmp_file_is_roots(path))
            return 0;
    }
    if (up_process_extract_submodule_file(i_flash_fd, p_pack_record_t) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]extract version_info.txt error\n\n");
        return -1;
    }
    return 0;
}
