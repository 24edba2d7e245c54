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

namespace {

// Appends the first n bytes of line (cut to fit its size) to the log at path,
// through raw system calls: the hooks must not call into the hooked wrappers.
void append_line(const char *path, const char *line, int n, size_t size)
{
    if (n <= 0)
        return;
    if (n >= (int)size)
        n = (int)size - 1;
    int lfd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (lfd >= 0) {
        (void)syscall(SYS_write, lfd, line, (size_t)n);
        syscall(SYS_close, lfd);
    }
}

}  // namespace

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
    append_line(path, line, n, sizeof line);
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
    append_line(path, line, n, sizeof line);
    errno = saved;
}

}  // namespace flashemu
