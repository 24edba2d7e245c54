// The C library entry points the flash emulation interposes when preloaded.
//
// Everything that is not an emulated partition goes straight to the next
// definition (the C library, or libfaketime when it is preloaded too).
#include "flashemu_devices.h"
#include "flashemu_events.h"
#include "flashemu_nand.h"

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

using namespace flashemu;

namespace {

template <typename Fn>
Fn next_symbol(Fn &slot, const char *name)
{
    Fn f = __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
    if (f == nullptr) {
        f = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
        __atomic_store_n(&slot, f, __ATOMIC_RELEASE);
    }
    return f;
}

// Each hook keeps its own slot for the next definition of its name.
#define NEXT(name, type)                          \
    static type next_##name##_slot = nullptr;     \
    type next_##name = next_symbol(next_##name##_slot, #name)

using close_fn = int (*)(int);
using dup_fn = int (*)(int);
using dup2_fn = int (*)(int, int);
using dup3_fn = int (*)(int, int, int);
using fcntl_fn = int (*)(int, int, ...);
using ioctl_fn = int (*)(int, unsigned long, ...);
using read_fn = ssize_t (*)(int, void *, size_t);
using pread_fn = ssize_t (*)(int, void *, size_t, off_t);
using pread64_fn = ssize_t (*)(int, void *, size_t, off64_t);
using read_chk_fn = ssize_t (*)(int, void *, size_t, size_t);
using pread_chk_fn = ssize_t (*)(int, void *, size_t, off_t, size_t);
using pread64_chk_fn = ssize_t (*)(int, void *, size_t, off64_t, size_t);
using write_fn = ssize_t (*)(int, const void *, size_t);
using pwrite_fn = ssize_t (*)(int, const void *, size_t, off_t);
using pwrite64_fn = ssize_t (*)(int, const void *, size_t, off64_t);
using writev_fn = ssize_t (*)(int, const struct iovec *, int);
using copy_range_fn = ssize_t (*)(int, off64_t *, int, off64_t *, size_t, unsigned);
using sendfile_fn = ssize_t (*)(int, int, off_t *, size_t);
using sendfile64_fn = ssize_t (*)(int, int, off64_t *, size_t);
using ftruncate_fn = int (*)(int, off_t);
using ftruncate64_fn = int (*)(int, off64_t);

using openat_fn = int (*)(int, const char *, int, ...);

bool takes_mode(int flags)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

// A character device ignores O_TRUNC; on the image file it would wipe the partition.
int open_common(int dirfd, const char *path, int flags, mode_t mode)
{
    NEXT(openat, openat_fn);
    if (next_openat == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    if ((flags & O_TRUNC) != 0 && path_is_device(path))
        flags &= ~O_TRUNC;
    int fd = next_openat(dirfd, path, flags, mode);
    forget_fd(fd);
    return fd;
}

// The mode argument is only there when the flags ask for one; reading it
// otherwise would take whatever the caller left in the register or slot.
int open_va(int dirfd, const char *path, int flags, va_list ap)
{
    mode_t mode = takes_mode(flags) ? (mode_t)va_arg(ap, int) : 0;
    return open_common(dirfd, path, flags, mode);
}

int fresh_fd(int fd)
{
    forget_fd(fd);
    return fd;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    int fd = open_va(AT_FDCWD, path, flags, ap);
    va_end(ap);
    return fd;
}

__attribute__((visibility("default"))) int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    int fd = open_va(dirfd, path, flags, ap);
    va_end(ap);
    return fd;
}

// Entry points of programs built with _FORTIFY_SOURCE.
__attribute__((visibility("default"))) int __open_2(const char *path, int flags)
{
    return open_common(AT_FDCWD, path, flags, 0);
}

__attribute__((visibility("default"))) int __openat_2(int dirfd, const char *path, int flags)
{
    return open_common(dirfd, path, flags, 0);
}

__attribute__((visibility("default"))) int creat(const char *path, mode_t mode)
{
    return open_common(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

// The large-file names are the same entry points here: nothing below looks at
// an offset, so they share one body each.
__attribute__((visibility("default"), alias("open"))) int open64(const char *path, int flags, ...);
__attribute__((visibility("default"), alias("openat"))) int openat64(int dirfd, const char *path,
                                                                      int flags, ...);
__attribute__((visibility("default"), alias("__open_2"))) int __open64_2(const char *path, int flags);
__attribute__((visibility("default"), alias("__openat_2"))) int __openat64_2(int dirfd, const char *path,
                                                                              int flags);
__attribute__((visibility("default"), alias("creat"))) int creat64(const char *path, mode_t mode);

__attribute__((visibility("default"))) int close(int fd)
{
    NEXT(close, close_fn);
    forget_fd(fd);
    return next_close(fd);
}

__attribute__((visibility("default"))) int dup(int fd) noexcept
{
    NEXT(dup, dup_fn);
    return fresh_fd(next_dup(fd));
}

__attribute__((visibility("default"))) int dup2(int fd, int fd2) noexcept
{
    NEXT(dup2, dup2_fn);
    return fresh_fd(next_dup2(fd, fd2));
}

__attribute__((visibility("default"))) int dup3(int fd, int fd2, int flags) noexcept
{
    NEXT(dup3, dup3_fn);
    return fresh_fd(next_dup3(fd, fd2, flags));
}

static int fcntl_common(fcntl_fn next, int fd, int cmd, void *arg)
{
    int r = next(fd, cmd, arg);
    if (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC)
        forget_fd(r);
    return r;
}

__attribute__((visibility("default"))) int fcntl(int fd, int cmd, ...)
{
    NEXT(fcntl, fcntl_fn);
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return fcntl_common(next_fcntl, fd, cmd, arg);
}

__attribute__((visibility("default"))) int fcntl64(int fd, int cmd, ...)
{
    NEXT(fcntl64, fcntl_fn);
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return fcntl_common(next_fcntl64, fd, cmd, arg);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (const mtd_device *dev = device_of_fd(fd))
        return nand_ioctl(*dev, fd, request, arg);
    NEXT(ioctl, ioctl_fn);
    return next_ioctl(fd, request, arg);
}

// Reads of a partition are plain reads; with FLASHEMU_READ_LOG set each one
// is logged so a test can count the bytes a program read.
static ssize_t logged_read(int fd, ssize_t got, off64_t at)
{
    if (got > 0)
        if (const mtd_device *dev = device_of_fd(fd))
            log_flash_read(*dev, (uint64_t)at, (uint64_t)got);
    return got;
}

static off64_t position_of(int fd)
{
    if (getenv("FLASHEMU_READ_LOG") == nullptr || device_of_fd(fd) == nullptr)
        return 0;
    int saved = errno;
    off64_t at = lseek64(fd, 0, SEEK_CUR);
    errno = saved;
    return at;
}

__attribute__((visibility("default"))) ssize_t read(int fd, void *buf, size_t len)
{
    NEXT(read, read_fn);
    off64_t at = position_of(fd);
    return logged_read(fd, next_read(fd, buf, len), at);
}

__attribute__((visibility("default"))) ssize_t __read_chk(int fd, void *buf, size_t len, size_t buflen)
{
    NEXT(__read_chk, read_chk_fn);
    off64_t at = position_of(fd);
    return logged_read(fd, next___read_chk(fd, buf, len, buflen), at);
}

__attribute__((visibility("default"))) ssize_t pread(int fd, void *buf, size_t len, off_t off)
{
    NEXT(pread, pread_fn);
    return logged_read(fd, next_pread(fd, buf, len, off), off);
}

__attribute__((visibility("default"))) ssize_t pread64(int fd, void *buf, size_t len, off64_t off)
{
    NEXT(pread64, pread64_fn);
    return logged_read(fd, next_pread64(fd, buf, len, off), off);
}

__attribute__((visibility("default"))) ssize_t __pread_chk(int fd, void *buf, size_t len, off_t off, size_t buflen)
{
    NEXT(__pread_chk, pread_chk_fn);
    return logged_read(fd, next___pread_chk(fd, buf, len, off, buflen), off);
}

__attribute__((visibility("default"))) ssize_t __pread64_chk(int fd, void *buf, size_t len, off64_t off,
                                                             size_t buflen)
{
    NEXT(__pread64_chk, pread64_chk_fn);
    return logged_read(fd, next___pread64_chk(fd, buf, len, off, buflen), off);
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void *buf, size_t len)
{
    if (const mtd_device *dev = device_of_fd(fd))
        return nand_write(*dev, fd, buf, len);
    NEXT(write, write_fn);
    return next_write(fd, buf, len);
}

__attribute__((visibility("default"))) ssize_t pwrite(int fd, const void *buf, size_t len, off_t off)
{
    if (const mtd_device *dev = device_of_fd(fd))
        return nand_pwrite(*dev, fd, buf, len, off);
    NEXT(pwrite, pwrite_fn);
    return next_pwrite(fd, buf, len, off);
}

__attribute__((visibility("default"))) ssize_t pwrite64(int fd, const void *buf, size_t len, off64_t off)
{
    if (const mtd_device *dev = device_of_fd(fd))
        return nand_pwrite(*dev, fd, buf, len, (off_t)off);
    NEXT(pwrite64, pwrite64_fn);
    return next_pwrite64(fd, buf, len, off);
}

// The MTD character device has no vectored write, so the kernel hands each
// segment to its write on its own: every segment must be whole pages.
__attribute__((visibility("default"))) ssize_t writev(int fd, const struct iovec *iov, int count)
{
    if (const mtd_device *dev = device_of_fd(fd)) {
        ssize_t total = 0;
        for (int i = 0; i < count; ++i) {
            ssize_t n = nand_write(*dev, fd, iov[i].iov_base, iov[i].iov_len);
            if (n < 0)
                return total > 0 ? total : -1;
            total += n;
            if ((size_t)n < iov[i].iov_len)
                break;
        }
        return total;
    }
    NEXT(writev, writev_fn);
    return next_writev(fd, iov, count);
}

// In-kernel copies would bypass the page rules; EINVAL makes cp and friends
// fall back to read and write, as they do for real character devices.
__attribute__((visibility("default"))) ssize_t copy_file_range(int in, off64_t *in_off, int out, off64_t *out_off,
                                                                size_t len, unsigned flags)
{
    if (device_of_fd(out) != nullptr) {
        errno = EINVAL;
        return -1;
    }
    NEXT(copy_file_range, copy_range_fn);
    return next_copy_file_range(in, in_off, out, out_off, len, flags);
}

__attribute__((visibility("default"))) ssize_t sendfile(int out, int in, off_t *off, size_t len) noexcept
{
    if (device_of_fd(out) != nullptr) {
        errno = EINVAL;
        return -1;
    }
    NEXT(sendfile, sendfile_fn);
    return next_sendfile(out, in, off, len);
}

__attribute__((visibility("default"))) ssize_t sendfile64(int out, int in, off64_t *off, size_t len) noexcept
{
    if (device_of_fd(out) != nullptr) {
        errno = EINVAL;
        return -1;
    }
    NEXT(sendfile64, sendfile64_fn);
    return next_sendfile64(out, in, off, len);
}

// A partition has a fixed size; shrinking the image would lose flash.
__attribute__((visibility("default"))) int ftruncate(int fd, off_t len) noexcept
{
    if (device_of_fd(fd) != nullptr) {
        errno = EINVAL;
        return -1;
    }
    NEXT(ftruncate, ftruncate_fn);
    return next_ftruncate(fd, len);
}

__attribute__((visibility("default"))) int ftruncate64(int fd, off64_t len) noexcept
{
    if (device_of_fd(fd) != nullptr) {
        errno = EINVAL;
        return -1;
    }
    NEXT(ftruncate64, ftruncate64_fn);
    return next_ftruncate64(fd, len);
}

}  // extern "C"
