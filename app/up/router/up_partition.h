// Flash partition table of the router and the two writers that put a kernel,
// root file system or raw second file system image into its partition.
#pragma once

#include <cstddef>
#include <cstdint>

#include "up_package.h"

enum {
    MODULE_BOOTLOADER = 1,
    MODULE_KERNEL = 2,
    MODULE_ROOTFS = 3,
    MODULE_2NDFS = 4,
    MODULE_VERSION = 5,
    DFI_VERSION = 6,
};

constexpr size_t UP_PARTITION_NAME_SIZE = 64;

// One row of the partition table; a row with i_sub_module_id 0 ends it.
struct flash_partition_tab_t {
    int32_t i_sub_module_id;     // compared with a record's record_id
    uint32_t i_start_addr;       // where erasing starts within the device
    uint32_t i_len;              // partition size: largest record and erase length
    uint32_t i_offset;           // offset within the whole flash (informative)
    char ac_partition_name[UP_PARTITION_NAME_SIZE];
};

extern const flash_partition_tab_t g_par_tab_t[6];

// The row for record_id, or null when the table has none.
const flash_partition_tab_t *up_find_partition(uint32_t record_id);

// Size rule shared by both writers: 0 when the record fits its partition,
// -1 (logged) when it does not.
int up_check_partition_size(const package_record_t *p_pack_record_t,
                            const flash_partition_tab_t *row);

// The erase length for row on the open device mtd_fd: the table's length cut
// to what the device really holds, whole blocks. -1 (logged) when the device
// cannot tell its size.
int64_t up_partition_erase_length(int mtd_fd, const flash_partition_tab_t *row);

// 0 when length bytes, brought up to whole blocks, fit the good blocks of
// row's erase range on mtd_fd; -1 (logged) otherwise. Factory bad blocks are
// stepped over by every writer, so they take no data.
int up_check_good_room(int mtd_fd, const flash_partition_tab_t *row, uint32_t length);

// up_check_good_room on row's device, opened read-only for the question.
int up_check_partition_room(const package_record_t *p_pack_record_t, const flash_partition_tab_t *row);

// Where a writer puts p_pack_record_t: 0 with *row set when the record has a
// partition it fits, 0 with *row null (logged as written) when the table has
// no partition for it, -1 (logged) for a null record or one too large.
int up_partition_for_record(const package_record_t *p_pack_record_t,
                            const flash_partition_tab_t **row);

// Direct writer: erases the partition and streams the record into it.
int up_update_fix_rule(int i_flash_fd, const package_record_t *p_pack_record_t);
int up_process_direct_write_submodule_file(int i_flash_fd, const package_record_t *p_pack_record_t);

// Core of the direct writer on an already open partition device, so that it can
// be exercised on any emulated MTD device. row gives the erase range.
int up_direct_write_to_mtd(int i_flash_fd, const package_record_t *p_pack_record_t,
                           int mtd_fd, const flash_partition_tab_t *row);

// Tool-driven writer: extracts the record to /tmp, then flash_erase + nandwrite.
int up_process_update_partition(int i_flash_fd, const package_record_t *p_pack_record_t);
