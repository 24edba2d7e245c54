// The run's flash operation counter on the supervisor's side: made before the
// run (with the power cut it should carry), watched while the run goes, and
// written out as text afterwards.
#include "flash_ops.h"

#include "routersim.h"
#include "up_fd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

using flashemu::flash_ops_file;

int flash_ops_create(const std::string &path, uint64_t cut_at, uint32_t cut_mode)
{
    flash_ops_file f{};
    memcpy(f.magic, flashemu::FLASH_OPS_MAGIC, sizeof f.magic);
    f.cut_at = cut_at;
    f.cut_mode = cut_mode;
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.ok() || write_full(fd.get(), &f, sizeof f) != (ssize_t)sizeof f)
        return -1;
    return 0;
}

int flash_ops_watch(const std::string &path)
{
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return -1;
    if (inotify_add_watch(fd, path.c_str(), IN_MODIFY) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void flash_ops_drain_watch(int fd)
{
    char buf[4096];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

bool flash_ops_read(const std::string &path, flash_ops_file *f)
{
    unique_fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok() || read_full(fd.get(), f, sizeof *f) != (ssize_t)sizeof *f)
        return false;
    if (memcmp(f->magic, flashemu::FLASH_OPS_MAGIC, sizeof f->magic) != 0)
        return false;
    f->cut_op[sizeof f->cut_op - 1] = '\0';
    return true;
}

bool flash_ops_cut(const std::string &path)
{
    flash_ops_file f{};
    return flash_ops_read(path, &f) && f.power_off != 0;
}

const char *flash_cut_mode_name(uint32_t mode)
{
    return mode == flashemu::CUT_TORN ? "torn" : "none";
}

int flash_ops_record(const std::string &path, const std::string &out_dir)
{
    flash_ops_file f{};
    if (!flash_ops_read(path, &f))
        return -1;
    char text[320];
    snprintf(text, sizeof text, "%llu\n", (unsigned long long)f.ops);
    if (write_text(out_dir + "/flash-ops", text) != 0)
        return -1;
    if (f.cut_done == 0)
        return 0;
    snprintf(text, sizeof text, "%llu %s %s\n", (unsigned long long)f.cut_at, flash_cut_mode_name(f.cut_mode),
             f.cut_op);
    return write_text(out_dir + "/flash-cut", text);
}
