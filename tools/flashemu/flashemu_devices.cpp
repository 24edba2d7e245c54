// Device table and per-descriptor classification of the flash emulation.
//
// Partitions are recognised by inode, not by name: a descriptor may come from
// any spelling of the path, from dup, or be inherited across exec (a shell
// opens "> /dev/mtd2" and then runs cat), and all of them must see NAND rules.
#include "flashemu_devices.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace flashemu {
namespace {

enum : uint8_t { FD_UNKNOWN = 0, FD_PLAIN = 1, FD_DEVICE_BASE = 2 };

constexpr int FD_TABLE_SIZE = 1024;

mtd_device g_devices[MAX_DEVICES];
int g_device_count = 0;
pthread_once_t g_once = PTHREAD_ONCE_INIT;
uint8_t g_fd_state[FD_TABLE_SIZE];

// Raw system calls: the libc names may be our own hooks.
bool stat_path(const char *path, struct stat *st)
{
    return syscall(SYS_newfstatat, AT_FDCWD, path, st, 0) == 0;
}

bool stat_fd(int fd, struct stat *st)
{
    return syscall(SYS_fstat, fd, st) == 0;
}

void add_device(const char *path, size_t len)
{
    if (g_device_count >= MAX_DEVICES || len == 0 || len >= MAX_DEVICE_PATH)
        return;
    mtd_device &d = g_devices[g_device_count];
    memcpy(d.path, path, len);
    d.path[len] = '\0';
    struct stat st;
    if (!stat_path(d.path, &st) || !S_ISREG(st.st_mode))
        return;
    for (int i = 0; i < g_device_count; ++i)
        if (g_devices[i].st_dev == (uint64_t)st.st_dev && g_devices[i].st_ino == (uint64_t)st.st_ino)
            return;
    d.st_dev = (uint64_t)st.st_dev;
    d.st_ino = (uint64_t)st.st_ino;
    d.bad_count = 0;
    ++g_device_count;
}

// A table line names a device either by "mtdN" (the router's /dev/mtdN) or by
// the path it is known by here.
bool names_device(const mtd_device &d, const char *name, size_t len)
{
    static const char prefix[] = "/dev/";
    if (strlen(d.path) == len && memcmp(d.path, name, len) == 0)
        return true;
    return strncmp(d.path, prefix, sizeof prefix - 1) == 0 &&
           strlen(d.path + sizeof prefix - 1) == len && memcmp(d.path + sizeof prefix - 1, name, len) == 0;
}

void add_bad_block(const char *name, size_t len, uint32_t block)
{
    for (int i = 0; i < g_device_count; ++i) {
        mtd_device &d = g_devices[i];
        if (!names_device(d, name, len) || d.bad_count >= MAX_BAD_BLOCKS)
            continue;
        d.bad_blocks[d.bad_count++] = block;
    }
}

// One "NAME BLOCK" pair per line; '#' starts a comment; BLOCK is an erase
// block number, decimal or 0x hex. Lines that do not parse are ignored.
void parse_bad_line(const char *line)
{
    while (*line == ' ' || *line == '\t')
        ++line;
    if (*line == '\0' || *line == '#')
        return;
    const char *name = line;
    while (*line != '\0' && *line != ' ' && *line != '\t')
        ++line;
    size_t len = (size_t)(line - name);
    char *end = nullptr;
    unsigned long block = strtoul(line, &end, 0);
    if (end == line || len == 0)
        return;
    while (*end == ' ' || *end == '\t' || *end == '\r')
        ++end;
    if (*end != '\0' && *end != '#')
        return;
    add_bad_block(name, len, (uint32_t)block);
}

void load_bad_blocks()
{
    const char *path = getenv("FLASHEMU_BADBLOCKS");
    if (path == nullptr || *path == '\0')
        return;
    int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return;
    static char text[8192];
    size_t used = 0;
    for (;;) {
        ssize_t n = syscall(SYS_read, fd, text + used, sizeof text - 1 - used);
        if (n <= 0)
            break;
        used += (size_t)n;
        if (used == sizeof text - 1)
            break;
    }
    syscall(SYS_close, fd);
    text[used] = '\0';
    char *line = text;
    while (line != nullptr && *line != '\0') {
        char *nl = strchr(line, '\n');
        if (nl != nullptr)
            *nl = '\0';
        parse_bad_line(line);
        line = nl ? nl + 1 : nullptr;
    }
}

void load_devices()
{
    // Inside the simulated router the partitions are image files bound at
    // /dev/mtdN; tests elsewhere name their image files in FLASHEMU_DEVICES.
    char name[16];
    for (int i = 0; i < 10; ++i) {
        int n = snprintf(name, sizeof name, "/dev/mtd%d", i);
        add_device(name, (size_t)n);
    }
    const char *list = getenv("FLASHEMU_DEVICES");
    while (list != nullptr && *list != '\0') {
        const char *end = strchr(list, ':');
        size_t len = end ? (size_t)(end - list) : strlen(list);
        add_device(list, len);
        list = end ? end + 1 : nullptr;
    }
    load_bad_blocks();
}

int find_device(const struct stat &st)
{
    for (int i = 0; i < g_device_count; ++i)
        if (g_devices[i].st_dev == (uint64_t)st.st_dev && g_devices[i].st_ino == (uint64_t)st.st_ino)
            return i;
    return -1;
}

}  // namespace

const mtd_device *device_of_fd(int fd)
{
    if (fd < 0)
        return nullptr;
    bool cached = fd < FD_TABLE_SIZE;
    if (cached && __atomic_load_n(&g_fd_state[fd], __ATOMIC_RELAXED) == FD_PLAIN)
        return nullptr;
    pthread_once(&g_once, load_devices);
    struct stat st;
    int idx = stat_fd(fd, &st) ? find_device(st) : -1;
    if (cached)
        __atomic_store_n(&g_fd_state[fd], (uint8_t)(idx < 0 ? FD_PLAIN : FD_DEVICE_BASE + idx),
                         __ATOMIC_RELAXED);
    return idx < 0 ? nullptr : &g_devices[idx];
}

bool path_is_device(const char *path)
{
    if (path == nullptr)
        return false;
    pthread_once(&g_once, load_devices);
    struct stat st;
    return stat_path(path, &st) && find_device(st) >= 0;
}

bool block_is_bad(const mtd_device &dev, uint64_t offset)
{
    uint64_t block = offset / MTD_ERASE_SIZE;
    for (int i = 0; i < dev.bad_count; ++i)
        if (dev.bad_blocks[i] == block)
            return true;
    return false;
}

void forget_fd(int fd)
{
    if (fd >= 0 && fd < FD_TABLE_SIZE)
        __atomic_store_n(&g_fd_state[fd], (uint8_t)FD_UNKNOWN, __ATOMIC_RELAXED);
}

}  // namespace flashemu
