// Whole-package check made before the first record is installed. A package
// refused half way through would leave the router with a new kernel and an
// old root file system; refusing it before the first erase leaves it as it was.
#include <cstring>
#include <unistd.h>

#include "kq_log.h"
#include "up_api.h"
#include "up_driver.h"
#include "up_extract.h"
#include "up_package_io.h"
#include "up_partition.h"

namespace {

bool installs_record(uint32_t record_id)
{
    switch (record_id) {
    case PACKAGE_VERSION:
    case PACKAGE_BOOTLOADER:
    case PACKAGE_KERNEL:
    case PACKAGE_ROOTFS:
    case PACKAGE_2NDFS:
    case PACKAGE_MODEM_IMAGE:
        return true;
    default:
        return false;
    }
}

// Records whose name becomes a file under /tmp and a word of a command: the
// version file, the bootloader, kernel and root file system (file mode) and
// the second file system archive.
bool name_is_used(const package_record_t *rec)
{
    switch (rec->record_id) {
    case PACKAGE_VERSION:
    case PACKAGE_BOOTLOADER:
    case PACKAGE_KERNEL:
    case PACKAGE_ROOTFS:
        return true;
    case PACKAGE_2NDFS:
        return rec->compressed == 1;
    default:
        return false;
    }
}

// Records written into a partition of the table, by either writer.
bool goes_to_partition(const package_record_t *rec)
{
    return rec->record_id == PACKAGE_KERNEL || rec->record_id == PACKAGE_ROOTFS ||
           (rec->record_id == PACKAGE_2NDFS && rec->compressed == 0);
}

// The package ends at packlen; read raw from its partition it must also end
// before the state block. The partition's own size says nothing about where
// the package ends, and a record past packlen would install erased flash.
// In the partition the package steps over bad blocks, so its end is where
// its last byte lies on the device.
int check_within_package(const package_signature_t *head, int i_flash_fd, const package_record_t *rec)
{
    uint64_t end = (uint64_t)rec->record_offset + rec->record_length;
    uint64_t limit = (uint32_t)head->packlen;
    if (end > limit) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]record ends at %llu, past the package end %llu\n\n",
               (unsigned long long)end, (unsigned long long)limit);
        return -1;
    }
    uint64_t last = 0;
    if (strcmp(image_name, UP_PACKAGE_DEV) == 0 && end > 0 &&
        (up_package_device_offset(i_flash_fd, end - 1, &last) != 0 || last >= UP_STATE_OFFSET)) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]record ends at %llu, past the state block on the device\n\n",
               (unsigned long long)end);
        return -1;
    }
    return 0;
}

int check_one(const package_signature_t *head, int i_flash_fd, const package_record_t *rec)
{
    if (!installs_record(rec->record_id))
        return 0;
    if (up_check_record_in_package(i_flash_fd, rec) != 0 || check_within_package(head, i_flash_fd, rec) != 0)
        return -1;
    if (name_is_used(rec)) {
        char name[UP_RECORD_NAME_MAX];
        if (up_record_file_name(rec, name, sizeof name) != 0)
            return -1;
    }
    // Any other value would be installed as nothing and marked installed.
    if (rec->record_id == PACKAGE_2NDFS && rec->compressed > 1) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]2nd file system record with compressed=%lu is not installable\n\n",
               (unsigned long)rec->compressed);
        return -1;
    }
    if (goes_to_partition(rec)) {
        const flash_partition_tab_t *row = up_find_partition(rec->record_id);
        if (row != nullptr && up_check_partition_size(rec, row) != 0)
            return -1;
        // Bad blocks take no data. A partition that cannot be opened here is
        // left to its writer, which fails on the open before any erase.
        if (row != nullptr && access(row->ac_partition_name, F_OK) == 0 &&
            up_check_partition_room(rec, row) != 0)
            return -1;
    }
    return 0;
}

} // namespace

int up_check_record_table(const package_signature_t *p_pack_head_attr, int i_flash_fd,
                          const package_record_t *p_pack_record_list)
{
    // The count is signed, as the table reader takes it.
    int32_t count = (int32_t)p_pack_head_attr->num_records;
    for (int32_t i = 0; i < count; ++i) {
        if (check_one(p_pack_head_attr, i_flash_fd, &p_pack_record_list[i]) != 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]record %ld (id %lu) is refused: nothing is installed\n\n",
                   (long)i, (unsigned long)p_pack_record_list[i].record_id);
            return -1;
        }
    }
    return 0;
}
