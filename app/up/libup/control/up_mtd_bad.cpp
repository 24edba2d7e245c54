// Bad-block questions to an MTD partition.
#include "up_mtd_bad.h"

#include <cerrno>
#include <cstdio>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>

int up_mtd_block_is_bad(int dev, uint64_t offset)
{
    long long offs = (long long)offset;
    int r = ioctl(dev, MEMGETBADBLOCK, &offs);
    if (r < 0)
        // NOR flash and plain files have no bad-block table: every block is good.
        return errno == EOPNOTSUPP || errno == ENOTTY ? 0 : -1;
    return r > 0 ? 1 : 0;
}

int64_t up_mtd_good_bytes(int dev, uint64_t start, uint64_t length, uint32_t block)
{
    if (block == 0)
        return -1;
    int64_t good = 0;
    for (uint64_t at = start; at < start + length; at += block) {
        int bad = up_mtd_block_is_bad(dev, at);
        if (bad < 0)
            return -1;
        if (bad == 0)
            good += block;
    }
    return good;
}

int up_mtd_skip_bad(int dev, uint64_t *pos, uint64_t end, uint32_t block)
{
    if (block == 0)
        return -1;
    while (*pos < end) {
        int bad = up_mtd_block_is_bad(dev, *pos);
        if (bad < 0)
            return -1;
        if (bad == 0)
            return 0;
        printf("Skipping bad block at 0x%08llx\n", (unsigned long long)*pos);
        *pos += block;
    }
    return -1;
}
