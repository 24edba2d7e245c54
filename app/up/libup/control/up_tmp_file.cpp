// Fresh files and folders in "/tmp", never reached through what was there.
#include "up_tmp_file.h"

#include <cerrno>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include "up_fd.h"

namespace {

int remove_entry(const char *path, const struct stat *, int type, struct FTW *)
{
    // FTW_PHYS: links are removed as links, never followed.
    int rc = type == FTW_DP ? rmdir(path) : unlink(path);
    return rc == 0 || errno == ENOENT ? 0 : -1;
}

} // namespace

int up_tmp_remove(const char *path)
{
    if (path == nullptr)
        return -1;
    struct stat st {};
    if (lstat(path, &st) != 0)
        return errno == ENOENT ? 0 : -1;
    if (!S_ISDIR(st.st_mode))
        return unlink(path) == 0 || errno == ENOENT ? 0 : -1;
    return nftw(path, remove_entry, 16, FTW_DEPTH | FTW_PHYS) == 0 ? 0 : -1;
}

int up_tmp_create_fresh(const char *path, mode_t mode)
{
    if (up_tmp_remove(path) != 0)
        return -1;
    // O_EXCL with O_CREAT also refuses a link planted after the removal.
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

int up_tmp_mkdir_fresh(const char *path, mode_t mode)
{
    if (up_tmp_remove(path) != 0)
        return -1;
    return mkdir(path, mode);
}

int up_tmp_copy_tool(const char *src, const char *path)
{
    if (up_tmp_remove(path) != 0)
        return -1;
    unique_fd in(open(src, O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!in.ok() || fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return 1;
    unique_fd out(up_tmp_create_fresh(path, 0700));
    if (!out.ok())
        return -1;
    char buf[8192];
    for (;;) {
        ssize_t n = read_full(in.get(), buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0 || write_full(out.get(), buf, (size_t)n) != n) {
            up_tmp_remove(path);   // a cut program is never left to be run
            return -1;
        }
    }
    if (fchmod(out.get(), 0755) != 0) {
        up_tmp_remove(path);
        return -1;
    }
    return 0;
}

bool up_tmp_file_is_roots(const char *path)
{
    struct stat st {};
    return path != nullptr && lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
           st.st_nlink == 1 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}
