// The exclusive lock of the flash and modem actions (see up_lock.h).
#include "up_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "up_fd.h"

namespace {

// Held for the life of the process: closing it would release the lock.
int s_lock_fd = -1;

// The folder or file belongs to us and nobody else may write it.
bool owned_and_private(const struct stat &st)
{
    return st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

up_lock_result up_lock_take(const char *dir, const char *name, const char **why)
{
    static const char *k_none = "";
    *why = k_none;
    if (s_lock_fd >= 0)
        return UP_LOCK_TAKEN;
    if (mkdir(dir, 0755) != 0 && errno != EEXIST) {
        *why = "the lock folder cannot be made";
        return UP_LOCK_ERROR;
    }
    unique_fd dfd(open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dfd.ok()) {
        *why = errno == ELOOP || errno == ENOTDIR ? "the lock folder is a link or not a folder"
                                                  : "the lock folder cannot be opened";
        return errno == ELOOP || errno == ENOTDIR ? UP_LOCK_UNSAFE : UP_LOCK_ERROR;
    }
    struct stat st {};
    if (fstat(dfd.get(), &st) != 0 || !S_ISDIR(st.st_mode) || !owned_and_private(st)) {
        *why = "the lock folder belongs to another user or others may write it";
        return UP_LOCK_UNSAFE;
    }
    // O_NONBLOCK: a planted FIFO must not hold the open; it is refused below.
    unique_fd fd(openat(dfd.get(), name, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600));
    if (!fd.ok()) {
        *why = errno == ELOOP ? "the lock file is a link" : "the lock file cannot be opened";
        return errno == ELOOP ? UP_LOCK_UNSAFE : UP_LOCK_ERROR;
    }
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || !owned_and_private(st)) {
        *why = "the lock file is not a plain file of ours that only we may write";
        return UP_LOCK_UNSAFE;
    }
    int rc;
    do {
        rc = flock(fd.get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno == EWOULDBLOCK)
            return UP_LOCK_BUSY;
        *why = "the lock file cannot be locked";
        return UP_LOCK_ERROR;
    }
    s_lock_fd = fd.release();
    return UP_LOCK_TAKEN;
}
