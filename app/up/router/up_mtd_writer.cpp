// Direct writer: erases a partition and streams a record from the package into
// it, one 128 KiB erase block at a time.
#include <array>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "kq_log.h"
#include "up_api.h"
#include "up_fd.h"
#include "up_mtd_bad.h"
#include "up_package_io.h"
#include "up_partition.h"
#include "up_record_bounds.h"
#include "up_scratch.h"

int up_direct_write_to_mtd(int i_flash_fd, const package_record_t *p_pack_record_t,
                           int mtd_fd, const flash_partition_tab_t *row)
{
    const uint32_t length = p_pack_record_t->record_length;
    up_erase_block_t &block = up_erase_block_scratch();

    // Everything that can be known before the erase is checked before it: an
    // empty record, a record the package does not hold whole, a record the
    // device has no room for. Only a failing flash can stop us after the erase.
    if (length == 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]extract the record item fail \n\n");
        return -1;
    }
    if (up_check_record_readable(i_flash_fd, p_pack_record_t) != 0)
        return -1;
    // Factory bad blocks take no data: the record must fit the good ones.
    if (up_check_good_room(mtd_fd, row, length) != 0)
        return -1;
    const int64_t erase_len = up_partition_erase_length(mtd_fd, row);
    if (erase_len < 0)
        return -1;
    const uint64_t start = row->i_start_addr;
    const uint64_t end = start + (uint64_t)erase_len;

    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]begin to erase mtd\n\n");
    if (up_mtd_erase(mtd_fd, row->i_start_addr, (uint32_t)erase_len) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]erase the destnation partition failed\n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]erase mtd successful and begin to write \n\n");

    uint32_t remain = length;
    uint64_t total = 0;
    size_t last_read = 0;
    uint64_t pos = start;
    while (remain > 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the module length is %ld\n\n", (long)remain);
        size_t want = remain < UP_ERASE_BLOCK ? remain : UP_ERASE_BLOCK;
        const uint64_t at = (uint64_t)p_pack_record_t->record_offset + (length - remain);
        ssize_t got = up_package_pread(i_flash_fd, at, block.data(), want);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the read length is %ld\n\n", (long)got);
        if (got != (ssize_t)want) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]read file error \n\n");
            return -1;
        }
        // Erased NAND reads 0xFF; padding with it leaves the tail of the last
        // block as if never written, and keeps every write whole pages.
        memset(block.data() + got, 0xFF, block.size() - (size_t)got);
        if (up_mtd_skip_bad(mtd_fd, &pos, end, UP_ERASE_BLOCK) != 0 || lseek(mtd_fd, (off_t)pos, SEEK_SET) < 0 ||
            write_full(mtd_fd, block.data(), block.size()) != (ssize_t)block.size()) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]write file error \n\n");
            return -1;
        }
        pos += UP_ERASE_BLOCK;
        total += block.size();
        remain -= (uint32_t)got;
        last_read = (size_t)got;
    }

    uint32_t fill = (uint32_t)(UP_ERASE_BLOCK - last_read);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the read cy len is %ld\n\n", (long)fill);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the read write actual len is %ld and in package len is %ld\n\n",
           (long)total, (long)length);
    if (total != (uint64_t)length + fill) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]extract the record item fail \n\n");
        return -1;
    }
    return 0;
}

int up_process_direct_write_submodule_file(int i_flash_fd, const package_record_t *p_pack_record_t)
{
    const flash_partition_tab_t *row = nullptr;
    if (up_partition_for_record(p_pack_record_t, &row) != 0)
        return -1;
    if (row == nullptr)
        return 0;

    unique_fd dev(open(row->ac_partition_name, O_RDWR));
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the partition name is %s\n\n", row->ac_partition_name);
    if (!dev.ok()) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]open destnation partition path error\n\n");
        return -1;
    }
    if (up_direct_write_to_mtd(i_flash_fd, p_pack_record_t, dev.get(), row) != 0)
        return -1;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]write sub-image file directly success \n\n");
    return 0;
}

int up_update_fix_rule(int i_flash_fd, const package_record_t *p_pack_record_t)
{
    if (up_process_direct_write_submodule_file(i_flash_fd, p_pack_record_t) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]directly write sub-image to mtd error\n\n");
        return -1;
    }
    return 0;
}
