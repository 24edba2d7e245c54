// NAND behaviour of an emulated MTD partition: geometry, erase, page writes.
#pragma once

#include "flashemu_devices.h"

#include <cstddef>
#include <sys/types.h>

namespace flashemu {

// Answers an MTD ioctl on a partition the way the kernel's NAND layer does.
// Returns the ioctl result; sets errno on failure.
int nand_ioctl(const mtd_device &dev, int fd, unsigned long request, void *arg);

// Writes whole pages at a page-aligned offset; every stored bit becomes
// old AND new, and a write that needs a 0 bit to turn into 1 is logged to
// FLASHEMU_FAULT_LOG. Returns bytes written or -1 with errno (EINVAL for an
// unaligned write, ENOSPC at the end of the partition).
ssize_t nand_pwrite(const mtd_device &dev, int fd, const void *buf, size_t len, off_t offset);

// write() at the descriptor's position, advancing it like the kernel does.
ssize_t nand_write(const mtd_device &dev, int fd, const void *buf, size_t len);

}  // namespace flashemu
