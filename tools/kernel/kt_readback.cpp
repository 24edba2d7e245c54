// Reads an MTD partition the way a boot loader does: erase block by erase
// block, skipping the blocks the kernel reports bad, so that a test can
// compare what an installer wrote around bad blocks with the image it was
// given.
//
//   kt_readback DEVICE LENGTH    the first LENGTH bytes of the good blocks, to stdout
//   kt_readback --bad DEVICE     the offsets of the bad blocks, one per line (hex)
#include "up_fd.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

int open_mtd(const char *dev, mtd_info_user *info)
{
    int fd = open(dev, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "kt_readback: %s: %s\n", dev, strerror(errno));
        return -1;
    }
    if (ioctl(fd, MEMGETINFO, info) != 0 || info->erasesize == 0) {
        fprintf(stderr, "kt_readback: %s: not an MTD device\n", dev);
        close(fd);
        return -1;
    }
    return fd;
}

// 1 bad, 0 good, -1 when the kernel cannot tell.
int block_is_bad(int fd, uint32_t offset)
{
    loff_t ofs = offset;
    return ioctl(fd, MEMGETBADBLOCK, &ofs);
}

bool read_at(int fd, uint8_t *buf, size_t len, uint32_t offset)
{
    size_t done = 0;
    while (done < len) {
        // The MTD character device returns pages with bit flips, corrected or
        // not, as a plain read: the comparison with the record catches them.
        ssize_t n = pread(fd, buf + done, len - done, (off_t)offset + (off_t)done);
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

int list_bad(const char *dev)
{
    mtd_info_user info{};
    unique_fd fd(open_mtd(dev, &info));
    if (!fd.ok())
        return 1;
    for (uint32_t ofs = 0; ofs < info.size; ofs += info.erasesize) {
        int bad = block_is_bad(fd.get(), ofs);
        if (bad < 0) {
            fprintf(stderr, "kt_readback: %s: MEMGETBADBLOCK at 0x%08" PRIx32 ": %s\n", dev, ofs, strerror(errno));
            return 1;
        }
        if (bad > 0)
            printf("0x%08" PRIx32 "\n", ofs);
    }
    return 0;
}

int read_good(const char *dev, uint64_t length)
{
    mtd_info_user info{};
    unique_fd fd(open_mtd(dev, &info));
    if (!fd.ok())
        return 1;
    std::vector<uint8_t> block(info.erasesize);
    uint64_t left = length;
    for (uint32_t ofs = 0; left > 0 && ofs < info.size; ofs += info.erasesize) {
        int bad = block_is_bad(fd.get(), ofs);
        if (bad < 0) {
            fprintf(stderr, "kt_readback: %s: MEMGETBADBLOCK at 0x%08" PRIx32 ": %s\n", dev, ofs, strerror(errno));
            return 1;
        }
        if (bad > 0)
            continue;
        if (!read_at(fd.get(), block.data(), block.size(), ofs)) {
            fprintf(stderr, "kt_readback: %s: read at 0x%08" PRIx32 ": %s\n", dev, ofs, strerror(errno));
            return 1;
        }
        size_t take = left < block.size() ? (size_t)left : block.size();
        if (fwrite(block.data(), 1, take, stdout) != take)
            return 1;
        left -= take;
    }
    if (left > 0) {
        fprintf(stderr, "kt_readback: %s: good blocks end %llu bytes short\n", dev, (unsigned long long)left);
        return 1;
    }
    return fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "--bad") == 0)
        return list_bad(argv[2]);
    if (argc == 3) {
        char *end = nullptr;
        unsigned long long len = strtoull(argv[2], &end, 0);
        if (end != argv[2] && *end == '\0')
            return read_good(argv[1], len);
    }
    fprintf(stderr, "usage: kt_readback DEVICE LENGTH | kt_readback --bad DEVICE\n");
    return 2;
}
