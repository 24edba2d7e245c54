// MTD access and the invocation log shared by the flash tool stand-ins.
#include "mtd_tool.h"

#include "up_fd.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <string>
#include <vector>

void tool_log_invocation(int argc, char **argv)
{
    const char *path = getenv("FLASHTOOLS_LOG");
    if (path == nullptr || *path == '\0')
        return;
    std::string line;
    for (int i = 0; i < argc; ++i) {
        if (i != 0)
            line += ' ';
        line += argv[i];
    }
    line += '\n';
    unique_fd log(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (log.ok())
        (void)write_full(log.get(), line.data(), line.size());   // one write: lines never interleave
}

bool parse_number(const char *text, uint64_t *value)
{
    if (text == nullptr || *text == '\0' || *text == '-' || *text == '+')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0')
        return false;
    *value = (uint64_t)v;
    return true;
}

int mtd_open(const char *tool, const char *dev, mtd_info_user *info)
{
    unique_fd fd(open(dev, O_RDWR | O_CLOEXEC));
    if (!fd.ok()) {
        fprintf(stderr, "%s: %s: %s\n", tool, dev, strerror(errno));
        return -1;
    }
    if (ioctl(fd.get(), MEMGETINFO, info) != 0) {
        fprintf(stderr, "%s: %s: MEMGETINFO: %s\n", tool, dev, strerror(errno));
        return -1;
    }
    if (info->erasesize == 0 || info->writesize == 0 || info->erasesize % info->writesize != 0) {
        fprintf(stderr, "%s: %s: unusable geometry\n", tool, dev);
        return -1;
    }
    return fd.release();
}

int mtd_block_bad(int fd, uint64_t at)
{
    loff_t offs = (loff_t)at;
    int r = ioctl(fd, MEMGETBADBLOCK, &offs);
    if (r < 0 && (errno == EOPNOTSUPP || errno == ENOTTY))
        return 0;
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int64_t mtd_span_blocks(int fd, const mtd_info_user &info, uint64_t start, uint64_t len)
{
    uint64_t first = start / info.erasesize * info.erasesize;
    uint64_t need = len + (start - first);   // the first block counts from its own start
    uint64_t have = 0;
    int64_t span = 0;
    for (uint64_t at = first; have < need; at += info.erasesize) {
        if (at >= info.size)
            return -1;
        int bad = mtd_block_bad(fd, at);
        if (bad < 0)
            return -1;
        if (bad == 0)
            have += info.erasesize;
        ++span;
    }
    return span;
}

int mtd_erase_blocks(const char *tool, int fd, const mtd_info_user &info, uint64_t start, uint64_t count)
{
    for (uint64_t i = 0; i < count; ++i) {
        loff_t at = (loff_t)(start + i * info.erasesize);
        int bad = mtd_block_bad(fd, (uint64_t)at);
        if (bad > 0) {
            printf("Skipping bad block at %08" PRIx64 "\n", (uint64_t)at);
            continue;
        }
        erase_info_user e{};
        e.start = (uint32_t)at;
        e.length = info.erasesize;
        if (ioctl(fd, MEMERASE, &e) != 0) {
            fprintf(stderr, "%s: MTD Erase failure at 0x%08" PRIx64 ": %s\n", tool, (uint64_t)at, strerror(errno));
            return -1;
        }
    }
    return 0;
}

int64_t file_size(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return (int64_t)st.st_size;
}

int mtd_write_file(const char *tool, int fd, const mtd_info_user &info, const char *path, uint64_t start,
                   bool pad, uint64_t *written)
{
    *written = 0;
    unique_fd in(open(path, O_RDONLY | O_CLOEXEC));
    int64_t len = file_size(path);
    if (!in.ok() || len < 0) {
        fprintf(stderr, "%s: %s: cannot read input file\n", tool, path);
        return -1;
    }
    const uint64_t page = info.writesize;
    if (start % page != 0) {
        fprintf(stderr, "%s: start address is not page-aligned\n", tool);
        return -1;
    }
    if (!pad && (uint64_t)len % page != 0) {
        fprintf(stderr, "%s: Input file is not page-aligned. Use the padding option.\n", tool);
        return -1;
    }
    uint64_t padded = ((uint64_t)len + page - 1) / page * page;
    if (start > info.size || padded > info.size - start ||
        (padded > 0 && mtd_span_blocks(fd, info, start, padded) < 0)) {
        fprintf(stderr, "%s: Image %s is too big for device\n", tool, path);
        return -1;
    }
    std::vector<uint8_t> block(info.erasesize);
    uint64_t remaining = (uint64_t)len;
    uint64_t at = start;
    while (remaining > 0) {
        int bad = mtd_block_bad(fd, at);
        if (bad < 0) {
            fprintf(stderr, "%s: MEMGETBADBLOCK at 0x%08" PRIx64 ": %s\n", tool, at, strerror(errno));
            return -1;
        }
        if (bad > 0) {
            uint64_t next = (at / info.erasesize + 1) * info.erasesize;
            printf("Bad block at %" PRIx64 ", 1 block(s) will be skipped\n", at / info.erasesize * info.erasesize);
            at = next;
            continue;
        }
        // Stay within one erase block per write, as the real tool does.
        uint64_t room = info.erasesize - at % info.erasesize;
        size_t want = (size_t)(remaining < room ? remaining : room);
        ssize_t got = read_full(in.get(), block.data(), want);
        if (got != (ssize_t)want) {
            fprintf(stderr, "%s: %s: short read\n", tool, path);
            return -1;
        }
        size_t out = (size_t)((want + page - 1) / page * page);
        memset(block.data() + want, 0xFF, out - want);
        ssize_t put = pwrite(fd, block.data(), out, (off_t)at);
        if (put != (ssize_t)out) {
            fprintf(stderr, "%s: write at 0x%08" PRIx64 " failed: %s\n", tool, at, strerror(errno));
            return -1;
        }
        *written += out;
        at += out;
        remaining -= want;
    }
    return 0;
}
