// Erasing a range of an MTD partition, one erase block at a time.
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>

#include <cstdio>

#include "up_api.h"
#include "up_mtd_bad.h"

int up_mtd_erase(int dev, uint32_t start, uint32_t length)
{
    if (length % UP_ERASE_BLOCK != 0)
        return -1;
    mtd_info_user info{};
    if (ioctl(dev, MEMGETINFO, &info) != 0)
        return -1;
    // A device reporting no erase size would never advance the loop.
    if (info.erasesize == 0)
        return -1;
    erase_info_user erase{};
    erase.start = start;
    erase.length = info.erasesize;
    // Counted in 64 bits: lengths of 2 GiB or more must not read as negative
    // and report success without erasing.
    for (uint64_t done = 0; done < length; done += info.erasesize) {
        // A factory bad block is stepped over, as flash_erase does: erasing
        // it fails, and nothing is ever written into it.
        int bad = up_mtd_block_is_bad(dev, erase.start);
        if (bad < 0)
            return -1;
        if (bad > 0) {
            printf("Skipping bad block at 0x%08lx\n", (unsigned long)erase.start);
            erase.start += info.erasesize;
            continue;
        }
        // NAND refuses unlocking; the erase below is what counts.
        (void)ioctl(dev, MEMUNLOCK, &erase);
        if (ioctl(dev, MEMERASE, &erase) != 0)
            return -1;
        erase.start += info.erasesize;
    }
    return 0;
}
