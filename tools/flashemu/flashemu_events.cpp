// The flash event log (FLASHEMU_EVENT_LOG). Runs inside hooks of arbitrary
// programs: raw system calls and a stack buffer only.
#include "flashemu_events.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace flashemu {

void log_flash_event(const mtd_device &dev, const char *kind, uint64_t offset, uint64_t length)
{
    const char *path = getenv("FLASHEMU_EVENT_LOG");
    if (path == nullptr || *path == '\0')
        return;
    int saved = errno;
    struct timespec ts = {0, 0};
    (void)syscall(SYS_clock_gettime, CLOCK_REALTIME, &ts);
    char comm[17] = {0};
    if (prctl(PR_GET_NAME, comm, 0, 0, 0) != 0)
        comm[0] = '?';
    for (char *c = comm; *c != '\0'; ++c)
        if (*c <= ' ')
            *c = '_';   // one word, so the line splits on blanks
    char line[512];
    int n = snprintf(line, sizeof line, "%lld%09ld %ld %s %s %s 0x%llx 0x%llx\n", (long long)ts.tv_sec,
                     (long)ts.tv_nsec, (long)syscall(SYS_getpid), comm, kind, dev.path,
                     (unsigned long long)offset, (unsigned long long)length);
    if (n > 0) {
        if (n >= (int)sizeof line)
            n = (int)sizeof line - 1;
        int lfd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (lfd >= 0) {
            (void)syscall(SYS_write, lfd, line, (size_t)n);
            syscall(SYS_close, lfd);
        }
    }
    errno = saved;
}

void log_flash_read(const mtd_device &dev, uint64_t offset, uint64_t length)
{
    const char *path = getenv("FLASHEMU_READ_LOG");
    if (path == nullptr || *path == '\0' || length == 0)
        return;
    int saved = errno;
    char line[256];
    int n = snprintf(line, sizeof line, "%s 0x%llx 0x%llx\n", dev.path, (unsigned long long)offset,
                     (unsigned long long)length);
    if (n > 0) {
        if (n >= (int)sizeof line)
            n = (int)sizeof line - 1;
        int lfd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (lfd >= 0) {
            (void)syscall(SYS_write, lfd, line, (size_t)n);
            syscall(SYS_close, lfd);
        }
    }
    errno = saved;
}

}  // namespace flashemu
