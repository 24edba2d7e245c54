// The modem's NV store: one file per item under MODEMSTATE/nv and
// MODEMSTATE/rfnv.
#include "nv_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "state_dir.h"
#include "up_fd.h"

namespace {

constexpr const char *NV_DIR = "nv";
constexpr const char *RFNV_DIR = "rfnv";

int item_path(char *buf, size_t size, const char *root, const char *dir, uint16_t id, const char *suffix)
{
    char sub[64];
    if (snprintf(sub, sizeof sub, "%s/%u%s", dir, (unsigned)id, suffix) >= (int)sizeof sub)
        return -1;
    return state_path(buf, size, root, sub);
}

// Reads up to cap bytes of the item file; *len its size. A file larger than
// cap is reported as bad rather than cut.
nv_load_t load(const char *root, const char *dir, uint16_t id, uint8_t *data, size_t cap, size_t *len)
{
    char path[1200];
    if (item_path(path, sizeof path, root, dir, id, "") != 0)
        return NV_LOAD_BAD;
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok())
        return errno == ENOENT ? NV_LOAD_MISSING : NV_LOAD_BAD;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || (size_t)st.st_size > cap)
        return NV_LOAD_BAD;
    ssize_t n = read_full(fd.get(), data, (size_t)st.st_size);
    if (n != (ssize_t)st.st_size)
        return NV_LOAD_BAD;
    *len = (size_t)n;
    return NV_LOAD_OK;
}

int save(const char *root, const char *dir, uint16_t id, const uint8_t *data, size_t len)
{
    char path[1200];
    char tmp[1200];
    if (item_path(path, sizeof path, root, dir, id, "") != 0 ||
        item_path(tmp, sizeof tmp, root, dir, id, ".new") != 0)
        return -1;
    unique_fd fd(open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.ok())
        return -1;
    if (write_full(fd.get(), data, len) != (ssize_t)len || fsync(fd.get()) != 0) {
        fd.reset();
        unlink(tmp);
        return -1;
    }
    fd.reset();
    if (rename(tmp, path) != 0) {
        unlink(tmp);
        return -1;
    }
    return 0;
}

// Removes the regular files of one store folder; the count, or -1.
int wipe_dir(const char *root, const char *dir)
{
    char path[1200];
    if (state_path(path, sizeof path, root, dir) != 0)
        return -1;
    DIR *d = opendir(path);
    if (d == nullptr)
        return errno == ENOENT ? 0 : -1;
    int removed = 0;
    int rc = 0;
    for (struct dirent *e = readdir(d); e != nullptr; e = readdir(d)) {
        if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || (e->d_name[1] == '.' && e->d_name[2] == '\0')))
            continue;
        if (unlinkat(dirfd(d), e->d_name, 0) == 0)
            removed++;
        else
            rc = -1;
    }
    closedir(d);
    return rc == 0 ? removed : -1;
}

} // namespace

nv_load_t nv_item_load(const char *root, uint16_t id, uint8_t data[NV_STORE_ITEM_SIZE])
{
    size_t len = 0;
    nv_load_t rc = load(root, NV_DIR, id, data, NV_STORE_ITEM_SIZE, &len);
    // An NV item is always 128 bytes: a file of another size is damaged.
    if (rc == NV_LOAD_OK && len != NV_STORE_ITEM_SIZE)
        return NV_LOAD_BAD;
    return rc;
}

int nv_item_save(const char *root, uint16_t id, const uint8_t data[NV_STORE_ITEM_SIZE])
{
    return save(root, NV_DIR, id, data, NV_STORE_ITEM_SIZE);
}

nv_load_t rfnv_item_load(const char *root, uint16_t id, uint8_t *data, size_t *len)
{
    return load(root, RFNV_DIR, id, data, RFNV_STORE_MAX, len);
}

int rfnv_item_save(const char *root, uint16_t id, const uint8_t *data, size_t len)
{
    if (len > RFNV_STORE_MAX)
        return -1;
    return save(root, RFNV_DIR, id, data, len);
}

int nv_store_wipe(const char *root, int *nv_removed, int *rfnv_removed)
{
    *nv_removed = wipe_dir(root, NV_DIR);
    *rfnv_removed = wipe_dir(root, RFNV_DIR);
    return (*nv_removed < 0 || *rfnv_removed < 0) ? -1 : *nv_removed + *rfnv_removed;
}
