// The flash operation counter and the power cut. Runs inside hooks of
// arbitrary programs: raw system calls, no allocation.
#include "flashemu_cut.h"

#include "flashemu_ops.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace flashemu {
namespace {

flash_ops_file *g_ops = nullptr;
int g_ops_fd = -1;
bool g_took_cut = false;   // this process met the cut and is storing its torn part
pthread_once_t g_ops_once = PTHREAD_ONCE_INIT;

void map_counter()
{
    const char *path = getenv("FLASHEMU_OPS");
    if (path == nullptr || *path == '\0')
        return;
    int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_CLOEXEC, 0);
    if (fd < 0)
        return;
    struct stat st;
    void *map = MAP_FAILED;
    if (fstat(fd, &st) == 0 && (size_t)st.st_size >= FLASH_OPS_FILE_SIZE)
        map = mmap(nullptr, FLASH_OPS_FILE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        syscall(SYS_close, fd);
        return;
    }
    flash_ops_file *f = static_cast<flash_ops_file *>(map);
    if (memcmp(f->magic, FLASH_OPS_MAGIC, sizeof f->magic) != 0) {
        munmap(map, FLASH_OPS_FILE_SIZE);
        syscall(SYS_close, fd);
        return;
    }
    g_ops = f;
    g_ops_fd = fd;
}

// The description goes in through the file rather than the mapping, so that
// a supervisor watching the file for changes wakes at once.
void note_cut(const mtd_device &dev, const char *kind, uint64_t offset, uint64_t length)
{
    char desc[FLASH_OPS_DESC_SIZE];
    memset(desc, 0, sizeof desc);
    // The device name is cut to fit; the router's names are short.
    snprintf(desc, sizeof desc, "%.15s %.120s 0x%llx 0x%llx", kind, dev.path, (unsigned long long)offset,
             (unsigned long long)length);
    (void)syscall(SYS_pwrite64, g_ops_fd, desc, sizeof desc, (off_t)offsetof(flash_ops_file, cut_op));
}

}  // namespace

op_fate begin_flash_op(const mtd_device &dev, const char *kind, uint64_t offset, uint64_t length)
{
    pthread_once(&g_ops_once, map_counter);
    if (g_ops == nullptr)
        return op_fate::go;
    if (__atomic_load_n(&g_ops->cut_done, __ATOMIC_ACQUIRE) != 0)
        power_is_off();
    uint64_t n = __atomic_add_fetch(&g_ops->ops, 1, __ATOMIC_ACQ_REL);
    uint64_t cut_at = __atomic_load_n(&g_ops->cut_at, __ATOMIC_ACQUIRE);
    if (cut_at == 0 || n < cut_at)
        return op_fate::go;
    if (n > cut_at)
        power_is_off();   // an operation racing the cut from another process
    __atomic_store_n(&g_ops->cut_done, 1u, __ATOMIC_RELEASE);
    g_took_cut = true;
    note_cut(dev, kind, offset, length);
    return g_ops->cut_mode == CUT_TORN ? op_fate::torn : op_fate::not_done;
}

void power_is_off()
{
    int saved = errno;
    if (g_ops_fd >= 0 && g_took_cut) {
        // The supervisor ends the run on this write, so it comes only from
        // the process that met the cut, after the torn part is stored: a
        // wake-up any earlier would kill that process mid-operation.
        uint32_t one = 1;
        (void)syscall(SYS_pwrite64, g_ops_fd, &one, sizeof one, (off_t)offsetof(flash_ops_file, power_off));
    }
    uint64_t all = ~0ull;
    (void)syscall(SYS_rt_sigprocmask, SIG_BLOCK, &all, nullptr, (size_t)8);
    errno = saved;
    for (;;)
        (void)syscall(SYS_ppoll, nullptr, 0, nullptr, nullptr, (size_t)8);
}

}  // namespace flashemu
