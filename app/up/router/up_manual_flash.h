// Manual service commands on the bootloader and kernel partitions: dump a
// fixed region to a file under "/tmp", erase it, or write a file into it.
#pragma once

#include <cstddef>
#include <cstdint>

// option 0: dump; 1: erase the bootloader region only; others: nothing.
int32_t uboot_test(int option);
// option 0: dump; 1: erase the kernel region and write "/tmp/kernel.bin".
int32_t kernel_test(int option);

enum { UP_MANUAL_UBOOT = 0, UP_MANUAL_KERNEL = 1 };

// One fixed region of a partition and the file that mirrors it; kind picks
// the log texts of the bootloader or the kernel command.
struct up_manual_region_t {
    uint32_t start;
    uint32_t length;
    const char *file;
    int kind;
};

extern const up_manual_region_t g_uboot_region;    // 1 MiB from 0x100000 of "/dev/mtd0"
extern const up_manual_region_t g_kernel_region;   // 3 MiB from 0 of "/dev/mtd2"

// 0 when [start, start + length) is not empty, lies inside a partition of
// part_size bytes, and starts and ends on erase_size boundaries; else -1.
int up_manual_region_fits(uint64_t part_size, uint32_t erase_size, uint32_t start,
                          uint32_t length);

// Size and erase block of the open partition (MEMGETINFO; a regular file
// gives its size and 128 KiB blocks). 0 or -1.
int up_partition_geometry(int fd, uint64_t *size, uint32_t *erase_size);

// The three operations on the open partition dev_fd. Each checks the region
// against the partition (and a written file against the region) before it
// touches anything. 0 or -1.
int32_t up_manual_dump(int dev_fd, const up_manual_region_t *region);
int32_t up_manual_erase(int dev_fd, const up_manual_region_t *region);
int32_t up_manual_write(int dev_fd, const up_manual_region_t *region);
