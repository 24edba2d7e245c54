// Manual service commands on the bootloader and kernel partitions: dump a
// fixed region to a file under "/tmp", erase it, or write a file into it.
#pragma once

#include <cstddef>
#include <cstdint>

// option 0: dump; 1: erase the bootloader region only; others: nothing.
int32_t uboot_test(int option);
// option 0: dump; 1: erase the kernel region and write "/tmp/kernel.bin".
int32_t kernel_test(int option);

// One fixed region of a partition and the file that mirrors it.
struct up_manual_region_t {
    const char *dev;
    uint32_t start;
    uint32_t length;
    const char *file;
};

// 0 when [start, start + length) lies inside a partition of part_size bytes
// and start and length are whole erase blocks of erase_size; -1 otherwise.
int up_manual_region_fits(uint64_t part_size, uint32_t erase_size, uint32_t start,
                          uint32_t length);

// Size and erase block of the open partition (MEMGETINFO; a regular file
// gives its size and 128 KiB blocks). 0 or -1.
int up_partition_geometry(int fd, uint64_t *size, uint32_t *erase_size);

// The three operations on an arbitrary region; they check it against the
// partition before touching anything. 0 or -1.
int32_t up_manual_dump(const up_manual_region_t *region);
int32_t up_manual_erase(const up_manual_region_t *region);
int32_t up_manual_write(const up_manual_region_t *region);
