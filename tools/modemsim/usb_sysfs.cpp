// The part of sysfs the tool looks at, kept under one root folder.
#include "usb_sysfs.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kq_log.h"
#include "up_fd.h"

namespace {

// mkdir -p for a path we composed ourselves (no "..", bounded length).
int make_dirs(const char *path)
{
    char buf[1200];
    if (snprintf(buf, sizeof buf, "%s", path) >= (int)sizeof buf)
        return -1;
    for (char *p = buf + 1; *p; p++) {
        if (*p != '/')
            continue;
        *p = '\0';
        if (mkdir(buf, 0755) != 0 && errno != EEXIST)
            return -1;
        *p = '/';
    }
    if (mkdir(buf, 0755) != 0 && errno != EEXIST)
        return -1;
    return 0;
}

int interface_dir(char *buf, size_t size, const char *root, int bus, int iface)
{
    int n = snprintf(buf, size, "%s/bus/usb/devices/%d-1:1.%d", root, bus, iface);
    return (n < 0 || n >= (int)size) ? -1 : 0;
}

} // namespace

int usb_sysfs_add_interface(const char *root, int bus, int iface, int tty)
{
    char dir[1200];
    char entry[1300];
    if (interface_dir(dir, sizeof dir, root, bus, iface) != 0 ||
        snprintf(entry, sizeof entry, "%s/ttyUSB%d", dir, tty) >= (int)sizeof entry)
        return -1;
    if (make_dirs(entry) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot create %s: %s\n\n", entry, strerror(errno));
        return -1;
    }
    return 0;
}

void usb_sysfs_remove_interface(const char *root, int bus, int iface)
{
    char dir[1200];
    if (interface_dir(dir, sizeof dir, root, bus, iface) != 0)
        return;
    DIR *d = opendir(dir);
    if (d != nullptr) {
        // Only the ttyUSB entries are ours; rmdir refuses anything non-empty.
        while (struct dirent *e = readdir(d)) {
            if (strncmp(e->d_name, "ttyUSB", 6) != 0)
                continue;
            char entry[1500];
            if (snprintf(entry, sizeof entry, "%s/%s", dir, e->d_name) < (int)sizeof entry)
                rmdir(entry);
        }
        closedir(d);
    }
    rmdir(dir);
}

int usb_sysfs_init_power(const char *root)
{
    char dir[1200];
    char file[1300];
    if (snprintf(dir, sizeof dir, "%s/module/pmic/parameters", root) >= (int)sizeof dir ||
        snprintf(file, sizeof file, "%s/wcdma_power", dir) >= (int)sizeof file)
        return -1;
    if (make_dirs(dir) != 0)
        return -1;
    unique_fd fd(open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.ok() || write_full(fd.get(), "1\n", 2) != 2) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot write %s: %s\n\n", file, strerror(errno));
        return -1;
    }
    // The router's shell writes it as whichever user runs the tool.
    fchmod(fd.get(), 0666);
    return 0;
}

int usb_sysfs_read_power(const char *root)
{
    char file[1300];
    if (snprintf(file, sizeof file, "%s/module/pmic/parameters/wcdma_power", root) >= (int)sizeof file)
        return -1;
    unique_fd fd(open(file, O_RDONLY | O_CLOEXEC));
    if (!fd.ok())
        return -1;
    char c = 0;
    if (read(fd.get(), &c, 1) != 1)
        return -1;
    if (c == '0')
        return 0;
    if (c == '1')
        return 1;
    return -1;
}
