// Helpers shared by the fuzz targets: a hard check that stops the run with a
// message (the sanitizers' report is what libFuzzer keeps as the crash), and
// a memory-backed descriptor for parsers that read from a descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

#define FUZZ_CHECK(cond)                                                               \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);   \
            abort();                                                                   \
        }                                                                              \
    } while (0)

// Replaces the content of the in-memory file fd with size bytes of data and
// puts its position back at the start.
inline void fuzz_fill_fd(int fd, const uint8_t *data, size_t size)
{
    FUZZ_CHECK(ftruncate(fd, 0) == 0);
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(fd, data + done, size - done, (off_t)done);
        FUZZ_CHECK(n > 0);
        done += (size_t)n;
    }
    FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
}

// One anonymous in-memory file per process, refilled for every input: no
// path exists, so nothing can be planted in its place, and the parser sees a
// regular, seekable file positioned at its start.
inline int fuzz_memfd(const char *name, const uint8_t *data, size_t size)
{
    static int fd = -1;
    if (fd < 0) {
        fd = memfd_create(name, MFD_CLOEXEC);
        FUZZ_CHECK(fd >= 0);
    }
    fuzz_fill_fd(fd, data, size);
    return fd;
}

// An in-memory file for parsers that open a path: its /proc/self/fd name
// opens the same file, and no directory entry exists that anything could
// be planted at.
struct fuzz_mem_file {
    int fd = -1;
    char path[64] = {};
};

inline void fuzz_mem_file_fill(fuzz_mem_file *f, const char *name, const uint8_t *data,
                               size_t size)
{
    if (f->fd < 0) {
        f->fd = memfd_create(name, MFD_CLOEXEC);
        FUZZ_CHECK(f->fd >= 0);
        snprintf(f->path, sizeof f->path, "/proc/self/fd/%d", f->fd);
    }
    fuzz_fill_fd(f->fd, data, size);
}
