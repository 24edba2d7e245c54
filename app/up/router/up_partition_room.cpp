// How much of a partition a record may use: the table's length cut to the
// device's real size, less the factory bad blocks, which take no data.
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>

#include "kq_log.h"
#include "up_api.h"
#include "up_fd.h"
#include "up_mtd_bad.h"
#include "up_partition.h"

namespace {

uint64_t round_up_block(uint32_t len)
{
    return ((uint64_t)len + UP_ERASE_BLOCK - 1) / UP_ERASE_BLOCK * UP_ERASE_BLOCK;
}

} // namespace

int64_t up_partition_erase_length(int mtd_fd, const flash_partition_tab_t *row)
{
    mtd_info_user info{};
    if (ioctl(mtd_fd, MEMGETINFO, &info) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]get mtd info of %s failed\n\n", row->ac_partition_name);
        return -1;
    }
    if (info.size <= row->i_start_addr)
        return 0;
    uint32_t room = info.size - row->i_start_addr;
    uint32_t len = row->i_len < room ? row->i_len : room;
    return (int64_t)(len / UP_ERASE_BLOCK * UP_ERASE_BLOCK);
}

int up_check_good_room(int mtd_fd, const flash_partition_tab_t *row, uint32_t length)
{
    int64_t erase_len = up_partition_erase_length(mtd_fd, row);
    if (erase_len < 0)
        return -1;
    if ((int64_t)round_up_block(length) > erase_len) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]%s holds %ld bytes, too small for %ld\n\n",
               row->ac_partition_name, (long)erase_len, (long)length);
        return -1;
    }
    int64_t good = up_mtd_good_bytes(mtd_fd, row->i_start_addr, (uint64_t)erase_len, UP_ERASE_BLOCK);
    if (good < 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot read the bad blocks of %s\n\n", row->ac_partition_name);
        return -1;
    }
    if ((int64_t)round_up_block(length) > good) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]%s has %ld bytes in good blocks, too few for %ld\n\n",
               row->ac_partition_name, (long)good, (long)length);
        return -1;
    }
    return 0;
}

int up_check_partition_room(const package_record_t *p_pack_record_t, const flash_partition_tab_t *row)
{
    unique_fd dev(open(row->ac_partition_name, O_RDONLY | O_CLOEXEC));
    if (!dev.ok()) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]open destnation partition path error\n\n");
        return -1;
    }
    return up_check_good_room(dev.get(), row, p_pack_record_t->record_length);
}
