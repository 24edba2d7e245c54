// NAND semantics on top of a plain image file.
//
// Everything here runs inside hooks of arbitrary programs (shells, tar, cp),
// so it uses raw system calls, stack buffers only, and leaves errno set the
// way the kernel would for the call the program made.
#include "flashemu_nand.h"

#include "flashemu_cut.h"
#include "flashemu_events.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace flashemu {
namespace {

// The kernel's "operation not supported" for MTD locking on NAND; not in libc headers.
constexpr int ENOTSUPP_KERNEL = 524;
constexpr size_t CHUNK = 8 * MTD_WRITE_SIZE;

ssize_t sys_pread(int fd, void *buf, size_t len, off_t off)
{
    return syscall(SYS_pread64, fd, buf, len, off);
}

ssize_t sys_pwrite(int fd, const void *buf, size_t len, off_t off)
{
    return syscall(SYS_pwrite64, fd, buf, len, off);
}

int sys_open(const char *path, int flags, int mode)
{
    return (int)syscall(SYS_openat, AT_FDCWD, path, flags, mode);
}

void sys_close(int fd)
{
    syscall(SYS_close, fd);
}

bool device_size(int fd, uint64_t *size)
{
    struct stat st;
    if (syscall(SYS_fstat, fd, &st) != 0)
        return false;
    *size = (uint64_t)st.st_size;
    return true;
}

int access_mode(int fd)
{
    long fl = syscall(SYS_fcntl, fd, F_GETFL, 0);
    return fl < 0 ? -1 : (int)(fl & O_ACCMODE);
}

// Reads exactly len bytes; a descriptor opened write-only cannot read, so the
// old contents then come through a second, read-only descriptor.
bool read_old(const mtd_device &dev, int fd, uint8_t *buf, size_t len, off_t off)
{
    int rfd = fd;
    int own = -1;
    if (access_mode(fd) == O_WRONLY) {
        own = sys_open(dev.path, O_RDONLY | O_CLOEXEC, 0);
        if (own < 0)
            return false;
        rfd = own;
    }
    size_t got = 0;
    while (got < len) {
        ssize_t n = sys_pread(rfd, buf + got, len - got, off + (off_t)got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    if (own >= 0)
        sys_close(own);
    if (got < len)
        memset(buf + got, 0xFF, len - got);   // past the image end reads as erased
    return true;
}

bool write_all(int fd, const uint8_t *buf, size_t len, off_t off)
{
    size_t put = 0;
    while (put < len) {
        ssize_t n = sys_pwrite(fd, buf + put, len - put, off + (off_t)put);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        put += (size_t)n;
    }
    return true;
}

void log_fault(const mtd_device &dev, off_t page, size_t count, off_t first, uint8_t stored, uint8_t wanted)
{
    const char *path = getenv("FLASHEMU_FAULT_LOG");
    if (path == nullptr || *path == '\0')
        return;
    char line[512];
    int n = snprintf(line, sizeof line,
                     "%s page 0x%08llx: %zu bytes need a 0 bit set to 1 "
                     "(first at 0x%08llx: stored 0x%02x, written 0x%02x)\n",
                     dev.path, (unsigned long long)page, count, (unsigned long long)first,
                     (unsigned)stored, (unsigned)wanted);
    if (n <= 0)
        return;
    if (n >= (int)sizeof line)
        n = (int)sizeof line - 1;
    int saved = errno;
    int lfd = sys_open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (lfd >= 0) {
        (void)syscall(SYS_write, lfd, line, (size_t)n);
        sys_close(lfd);
    }
    errno = saved;
}

// Old AND new, page by page, noting pages that asked for a 1 where a 0 is stored.
void program_pages(const mtd_device &dev, uint8_t *old, const uint8_t *data, size_t len, off_t off)
{
    for (size_t p = 0; p < len; p += MTD_WRITE_SIZE) {
        size_t bad = 0;
        size_t first = 0;
        uint8_t stored = 0;
        uint8_t wanted = 0;
        for (size_t i = p; i < p + MTD_WRITE_SIZE; ++i) {
            if ((uint8_t)(data[i] & ~old[i]) != 0) {
                if (bad++ == 0) {
                    first = i;
                    stored = old[i];
                    wanted = data[i];
                }
            }
            old[i] = (uint8_t)(old[i] & data[i]);
        }
        if (bad != 0) {
            log_fault(dev, off + (off_t)p, bad, off + (off_t)first, stored, wanted);
            log_flash_event(dev, "fault", (uint64_t)(off + (off_t)p), MTD_WRITE_SIZE);
        }
    }
}

bool fill_erased(int fd, uint64_t at, uint64_t len)
{
    uint8_t ff[CHUNK];
    memset(ff, 0xFF, sizeof ff);
    for (uint64_t done = 0; done < len; done += sizeof ff)
        if (!write_all(fd, ff, sizeof ff, (off_t)(at + done)))
            return false;
    return true;
}

// The kernel erases block by block and stops with EIO at a bad block; the
// blocks before it stay erased.
int erase_range(const mtd_device &dev, int fd, uint64_t start, uint64_t length)
{
    uint64_t size = 0;
    if (access_mode(fd) == O_RDONLY) {
        errno = EBADF;
        return -1;
    }
    if (!device_size(fd, &size)) {
        errno = EIO;
        return -1;
    }
    if (start % MTD_ERASE_SIZE != 0 || length % MTD_ERASE_SIZE != 0 || start > size || length > size - start) {
        errno = EINVAL;
        return -1;
    }
    // Each block is one flash operation: a power cut can fall between two
    // blocks of one request, or in the middle of one (its first half erased).
    for (uint64_t done = 0; done < length; done += MTD_ERASE_SIZE) {
        uint64_t block = start + done;
        if (block_is_bad(dev, block)) {
            errno = EIO;
            return -1;
        }
        op_fate fate = begin_flash_op(dev, "erase", block, MTD_ERASE_SIZE);
        uint64_t fill = fate == op_fate::go ? MTD_ERASE_SIZE : fate == op_fate::torn ? MTD_ERASE_SIZE / 2 : 0;
        if (!fill_erased(fd, block, fill)) {
            errno = EIO;
            return -1;
        }
        if (fate != op_fate::go) {
            if (done + fill != 0)
                log_flash_event(dev, "erase", start, done + fill);
            power_is_off();
        }
    }
    if (length != 0)
        log_flash_event(dev, "erase", start, length);
    return 0;
}

// MEMGETBADBLOCK: 1 for a bad block, 0 for a good one; EINVAL outside the device.
int get_bad_block(const mtd_device &dev, int fd, const void *arg)
{
    if (arg == nullptr) {
        errno = EFAULT;
        return -1;
    }
    long long offs = 0;
    memcpy(&offs, arg, sizeof offs);
    uint64_t size = 0;
    if (!device_size(fd, &size)) {
        errno = EIO;
        return -1;
    }
    if (offs < 0 || (uint64_t)offs >= size) {
        errno = EINVAL;
        return -1;
    }
    return block_is_bad(dev, (uint64_t)offs) ? 1 : 0;
}

// Bytes of [offset, offset + len) that lie before the first bad block.
size_t good_prefix(const mtd_device &dev, off_t offset, size_t len)
{
    for (uint64_t at = (uint64_t)offset; at < (uint64_t)offset + len;
         at = (at / MTD_ERASE_SIZE + 1) * MTD_ERASE_SIZE) {
        if (block_is_bad(dev, at))
            return (size_t)(at - (uint64_t)offset);
    }
    return len;
}

int get_info(int fd, mtd_info_user *info)
{
    uint64_t size = 0;
    if (info == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (!device_size(fd, &size)) {
        errno = EIO;
        return -1;
    }
    memset(info, 0, sizeof *info);
    info->type = MTD_NANDFLASH;
    info->flags = MTD_CAP_NANDFLASH;
    info->size = size > 0xFFFFFFFFull ? 0xFFFFFFFFu : (uint32_t)size;
    info->erasesize = MTD_ERASE_SIZE;
    info->writesize = MTD_WRITE_SIZE;
    info->oobsize = MTD_OOB_SIZE;
    return 0;
}

// Programs whole pages of a good range: old AND new, read back through the image.
ssize_t program_range(const mtd_device &dev, int fd, const void *buf, size_t len, off_t offset)
{
    const uint8_t *data = static_cast<const uint8_t *>(buf);
    uint8_t old[CHUNK];
    for (size_t done = 0; done < len;) {
        size_t n = len - done < CHUNK ? len - done : CHUNK;
        off_t at = offset + (off_t)done;
        if (!read_old(dev, fd, old, n, at)) {
            errno = EIO;
            return done ? (ssize_t)done : -1;
        }
        program_pages(dev, old, data + done, n, at);
        if (!write_all(fd, old, n, at)) {
            errno = EIO;
            return done ? (ssize_t)done : -1;
        }
        done += n;
    }
    return (ssize_t)len;
}

// A write the power cut falls on: nothing stored, or only its first half
// (which may end inside a page: the rest of that page keeps what it held).
[[noreturn]] void cut_write(const mtd_device &dev, int fd, const void *buf, size_t len, off_t offset, bool torn)
{
    size_t part = torn ? len / 2 : 0;
    size_t whole = part / MTD_WRITE_SIZE * MTD_WRITE_SIZE;
    if (whole != 0)
        (void)program_range(dev, fd, buf, whole, offset);
    if (part > whole) {
        uint8_t page[MTD_WRITE_SIZE];
        memset(page, 0xFF, sizeof page);   // programming 0xFF leaves a cell as it is
        memcpy(page, static_cast<const uint8_t *>(buf) + whole, part - whole);
        (void)program_range(dev, fd, page, sizeof page, offset + (off_t)whole);
    }
    if (part != 0)
        log_flash_event(dev, "write", (uint64_t)offset, part);
    power_is_off();
}

}  // namespace

int nand_ioctl(const mtd_device &dev, int fd, unsigned long request, void *arg)
{
    switch (request) {
    case MEMGETINFO:
        return get_info(fd, static_cast<mtd_info_user *>(arg));
    case MEMERASE: {
        if (arg == nullptr) {
            errno = EFAULT;
            return -1;
        }
        const erase_info_user *e = static_cast<const erase_info_user *>(arg);
        return erase_range(dev, fd, e->start, e->length);
    }
    case MEMERASE64: {
        if (arg == nullptr) {
            errno = EFAULT;
            return -1;
        }
        const erase_info_user64 *e = static_cast<const erase_info_user64 *>(arg);
        return erase_range(dev, fd, e->start, e->length);
    }
    case MEMLOCK:
    case MEMUNLOCK:
    case MEMISLOCKED:
        errno = ENOTSUPP_KERNEL;     // NAND chips have no lock; the kernel says so
        return -1;
    case MEMGETBADBLOCK:
        return get_bad_block(dev, fd, arg);
    case MEMSETBADBLOCK:
        return 0;                    // accepted and forgotten: the table is fixed per run
    case MEMGETREGIONCOUNT:
        if (arg == nullptr) {
            errno = EFAULT;
            return -1;
        }
        *static_cast<int *>(arg) = 0;
        return 0;
    default:
        errno = ENOTTY;
        return -1;
    }
}

ssize_t nand_pwrite(const mtd_device &dev, int fd, const void *buf, size_t len, off_t offset)
{
    if (len == 0)
        return 0;
    uint64_t size = 0;
    if (!device_size(fd, &size)) {
        errno = EIO;
        return -1;
    }
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    if ((uint64_t)offset >= size) {
        errno = ENOSPC;
        return -1;
    }
    if ((uint64_t)len > size - (uint64_t)offset)
        len = (size_t)(size - (uint64_t)offset);   // the kernel shortens writes at the end
    if (offset % MTD_WRITE_SIZE != 0 || len % MTD_WRITE_SIZE != 0) {
        errno = EINVAL;
        return -1;
    }
    if (access_mode(fd) == O_RDONLY) {
        errno = EBADF;
        return -1;
    }
    // The pages before a bad block are written; the write then fails with
    // EIO, as the kernel's character device reports a failed chunk.
    size_t good = good_prefix(dev, offset, len);
    if (good != 0) {
        op_fate fate = begin_flash_op(dev, "write", (uint64_t)offset, good);
        if (fate != op_fate::go)
            cut_write(dev, fd, buf, good, offset, fate == op_fate::torn);
    }
    ssize_t written = good == 0 ? 0 : program_range(dev, fd, buf, good, offset);
    if (written > 0)
        log_flash_event(dev, "write", (uint64_t)offset, (uint64_t)written);
    if (written < 0 || good == len)
        return written;
    errno = EIO;
    return -1;
}

ssize_t nand_write(const mtd_device &dev, int fd, const void *buf, size_t len)
{
    off_t pos = (off_t)syscall(SYS_lseek, fd, (off_t)0, SEEK_CUR);
    if (pos < 0)
        return -1;
    ssize_t n = nand_pwrite(dev, fd, buf, len, pos);
    if (n > 0)
        syscall(SYS_lseek, fd, pos + (off_t)n, SEEK_SET);
    return n;
}

}  // namespace flashemu
