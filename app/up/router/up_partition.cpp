// The router's flash partition table and the rules both writers share.
#include "up_partition.h"

#include "kq_log.h"

const flash_partition_tab_t g_par_tab_t[6] = {
    {MODULE_BOOTLOADER, 0, 0x80000, 0, "/dev/mtd0"},
    {MODULE_KERNEL, 0, 0x300000, 0xA0000, "/dev/mtd2"},
    {MODULE_ROOTFS, 0, 0x2000000, 0x3A0000, "/dev/mtd3"},
    {MODULE_2NDFS, 0, 0x1000000, 0x23A0000, "/dev/mtd4"},
    {MODULE_VERSION, 0, 0, 0, ""},
    {0, 0, 0, 0, ""},
};

const flash_partition_tab_t *up_find_partition(uint32_t record_id)
{
    for (const flash_partition_tab_t &row : g_par_tab_t) {
        if (row.i_sub_module_id == 0)
            break;
        if ((uint32_t)row.i_sub_module_id == record_id)
            return &row;
    }
    return nullptr;
}

int up_check_partition_size(const package_record_t *p_pack_record_t,
                            const flash_partition_tab_t *row)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]sub-image length is %ld and partition is %ld\n\n",
           (long)p_pack_record_t->record_length, (long)row->i_len);
    if (p_pack_record_t->record_length > row->i_len) {
        UP_LOG(KQ_LOG_ERROR,
               "[%s:%d]get sub-image size is more than partition size and not allow to upgrade\n\n");
        return -1;
    }
    return 0;
}

int up_partition_for_record(const package_record_t *p_pack_record_t,
                            const flash_partition_tab_t **row)
{
    *row = nullptr;
    if (p_pack_record_t == nullptr) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]NULL p_pack_record_t \n\n");
        return -1;
    }
    const flash_partition_tab_t *found = up_find_partition(p_pack_record_t->record_id);
    if (found == nullptr) {
        // Records without a partition are not this writer's: nothing to do.
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]write sub-image file directly success \n\n");
        return 0;
    }
    if (up_check_partition_size(p_pack_record_t, found) != 0)
        return -1;
    *row = found;
    return 0;
}
