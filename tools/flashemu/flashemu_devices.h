// Which descriptors of this process refer to emulated MTD partitions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace flashemu {

constexpr unsigned MTD_ERASE_SIZE = 128 * 1024;
constexpr unsigned MTD_WRITE_SIZE = 2048;
constexpr unsigned MTD_OOB_SIZE = 64;
constexpr int MAX_DEVICES = 16;
constexpr size_t MAX_DEVICE_PATH = 256;
constexpr int MAX_BAD_BLOCKS = 64;

// One emulated partition: the image file seen under a device name.
struct mtd_device {
    uint64_t st_dev;
    uint64_t st_ino;
    char path[MAX_DEVICE_PATH];     // the name it was found by, used in the fault log
    uint32_t bad_blocks[MAX_BAD_BLOCKS];   // erase block numbers of its factory bad blocks
    int bad_count;
};

// True when the erase block holding byte offset of dev is bad.
bool block_is_bad(const mtd_device &dev, uint64_t offset);

// The partition fd refers to, or null. Looks each descriptor up once and
// remembers plain files, so the hooks cost one table read for ordinary I/O.
const mtd_device *device_of_fd(int fd);

// True when path names an emulated partition (used to keep O_TRUNC off them).
bool path_is_device(const char *path);

// The descriptor number now means something new (open, dup, close).
void forget_fd(int fd);

}  // namespace flashemu
