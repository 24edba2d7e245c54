// Factory bad blocks of NAND partitions: asked with MEMGETBADBLOCK and
// stepped over the way nandwrite and boot loaders do.
#pragma once

#include <cstdint>

// 1 when the erase block holding byte offset of the MTD device dev is bad,
// 0 when it is good or the device keeps no bad-block table (not NAND, or
// not an MTD device at all), -1 when the driver refuses the question.
int up_mtd_block_is_bad(int dev, uint64_t offset);

// Bytes of good blocks in [start, start + length) of dev, whose bounds are
// whole erase blocks of size block; -1 when a block cannot be asked about.
int64_t up_mtd_good_bytes(int dev, uint64_t start, uint64_t length, uint32_t block);

// Moves *pos (the start of an erase block) forward over bad blocks. 0 when
// it then lies on a good block before end, -1 when no good block is left
// before end or a block cannot be asked about.
int up_mtd_skip_bad(int dev, uint64_t *pos, uint64_t end, uint32_t block);
