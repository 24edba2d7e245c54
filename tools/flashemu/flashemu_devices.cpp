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
    ++g_device_count;
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

void forget_fd(int fd)
{
    if (fd >= 0 && fd < FD_TABLE_SIZE)
        __atomic_store_n(&g_fd_state[fd], (uint8_t)FD_UNKNOWN, __ATOMIC_RELAXED);
}

}  // namespace flashemu
