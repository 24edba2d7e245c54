// The modem's state directory.
#include "state_dir.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kq_log.h"

int state_path(char *buf, size_t size, const char *root, const char *sub)
{
    int n = snprintf(buf, size, "%s/%s", root, sub);
    return (n < 0 || n >= (int)size) ? -1 : 0;
}

int state_dir_prepare(const char *root)
{
    if (mkdir(root, 0755) != 0 && errno != EEXIST)
        return -1;
    const char *subs[] = {"flash", "out", "nv", "rfnv"};
    for (const char *s : subs) {
        char path[1200];
        if (state_path(path, sizeof path, root, s) != 0)
            return -1;
        if (mkdir(path, 0755) != 0 && errno != EEXIST) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot create %s: %s\n\n", path, strerror(errno));
            return -1;
        }
    }
    return 0;
}

int image_store_begin(image_store *img, const char *root, const char *name)
{
    image_store_abort(img);
    char part[200];
    char final_name[200];
    if (snprintf(part, sizeof part, "flash/.%s.part", name) >= (int)sizeof part ||
        snprintf(final_name, sizeof final_name, "flash/%s", name) >= (int)sizeof final_name ||
        state_path(img->part_path.data(), img->part_path.size(), root, part) != 0 ||
        state_path(img->final_path.data(), img->final_path.size(), root, final_name) != 0)
        return -1;
    img->fd.reset(open(img->part_path.data(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!img->fd.ok()) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot create %s: %s\n\n", img->part_path.data(), strerror(errno));
        return -1;
    }
    return 0;
}

int image_store_write(image_store *img, uint32_t offset, const uint8_t *data, size_t len)
{
    if (!img->fd.ok())
        return -1;
    size_t put = 0;
    while (put < len) {
        ssize_t n = pwrite(img->fd.get(), data + put, len - put, (off_t)offset + (off_t)put);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        put += (size_t)n;
    }
    return 0;
}

int image_store_commit(image_store *img)
{
    if (!img->fd.ok())
        return -1;
    int rc = fsync(img->fd.get());
    img->fd.reset();
    if (rc != 0 || rename(img->part_path.data(), img->final_path.data()) != 0) {
        unlink(img->part_path.data());
        return -1;
    }
    return 0;
}

void image_store_abort(image_store *img)
{
    if (img->fd.ok()) {
        img->fd.reset();
        unlink(img->part_path.data());
    }
}

bool image_store_active(const image_store *img)
{
    return img->fd.ok();
}
