// The package seen through the bad blocks of its partition.
#include "up_package_io.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kq_assert.h"
#include "up_api.h"
#include "up_fd.h"
#include "up_mtd_bad.h"
#include "up_package_digest.h"

namespace {

// A NAND partition may have a couple of percent of bad blocks; more than
// this many in the package partition is not a device worth reading.
constexpr int MAX_PACKAGE_BAD_BLOCKS = 128;

struct package_device {
    bool known = false;
    dev_t st_dev = 0;
    ino_t st_ino = 0;
    bool is_mtd = false;
    uint64_t size = 0;
    uint32_t block = 0;
    int bad_count = 0;
    std::array<uint64_t, MAX_PACKAGE_BAD_BLOCKS> bad{};   // block numbers, ascending
};

package_device s_dev;

// Learns the descriptor's device once: whether it is an MTD partition, and
// which of its blocks are bad. -1 when the bad blocks cannot be learnt.
int learn_device(int fd, const package_device **out)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return -1;
    if (s_dev.known && s_dev.st_dev == st.st_dev && s_dev.st_ino == st.st_ino) {
        *out = &s_dev;
        return 0;
    }
    package_device d;
    d.known = true;
    d.st_dev = st.st_dev;
    d.st_ino = st.st_ino;
    mtd_info_user info{};
    if (ioctl(fd, MEMGETINFO, &info) == 0 && info.erasesize != 0) {
        d.is_mtd = true;
        d.size = info.size;
        d.block = info.erasesize;
        for (uint64_t at = 0; at < d.size; at += d.block) {
            int bad = up_mtd_block_is_bad(fd, at);
            if (bad < 0 || (bad > 0 && d.bad_count == MAX_PACKAGE_BAD_BLOCKS))
                return -1;
            if (bad > 0) {
                if (!UP_ASSERT((size_t)d.bad_count < d.bad.size(),
                               "the bad-block list stays inside its table"))
                    return -1;
                d.bad[(size_t)d.bad_count++] = at / d.block;
            }
        }
    }
    s_dev = d;
    *out = &s_dev;
    return 0;
}

bool has_bad_blocks(const package_device *d)
{
    return d->is_mtd && d->bad_count > 0;
}

// Device offset of package offset off, counting bad blocks stepped over.
uint64_t to_device(const package_device *d, uint64_t off)
{
    uint64_t block = off / d->block;
    for (int i = 0; i < d->bad_count && d->bad[(size_t)i] <= block; ++i)
        ++block;
    return block * d->block + off % d->block;
}


} // namespace

int up_package_device_offset(int fd, uint64_t offset, uint64_t *device_offset)
{
    const package_device *d = nullptr;
    if (device_offset == nullptr || learn_device(fd, &d) != 0)
        return -1;
    *device_offset = has_bad_blocks(d) ? to_device(d, offset) : offset;
    return d->is_mtd && *device_offset > d->size ? -1 : 0;
}

ssize_t up_package_pread(int fd, uint64_t off, void *buf, size_t n)
{
    if (buf != nullptr && up_package_digest_applies(fd))
        return up_package_digest_read(fd, off, buf, n);
    return up_package_pread_raw(fd, off, buf, n);
}

ssize_t up_package_pread_raw(int fd, uint64_t off, void *buf, size_t n)
{
    const package_device *d = nullptr;
    uint64_t extent = 0;
    if (buf == nullptr || learn_device(fd, &d) != 0 || up_package_capacity(fd, &extent) != 0) {
        errno = EIO;
        return -1;
    }
    if (off > extent || n > extent - off) {
        errno = ERANGE;
        return -1;
    }
    size_t got = 0;
    while (got < n) {
        const uint64_t at = off + got;
        // Within one good block the device bytes follow the package bytes.
        size_t want = n - got;
        if (d->is_mtd) {
            uint64_t room = d->block - at % d->block;
            if (want > room)
                want = (size_t)room;
        }
        const uint64_t dev_at = has_bad_blocks(d) ? to_device(d, at) : at;
        if (!UP_ASSERT(!d->is_mtd || (dev_at < d->size && want <= d->size - dev_at),
                       "a package read stays inside the good blocks of its partition")) {
            errno = EIO;
            return -1;
        }
        ssize_t r = pread(fd, static_cast<uint8_t *>(buf) + got, want, (off_t)dev_at);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            if (r == 0)
                errno = EIO;
            return -1;
        }
        got += (size_t)r;
    }
    return (ssize_t)n;
}

int up_package_stream(int fd, uint64_t off, uint64_t len,
                      int (*each_chunk)(void *ctx, const uint8_t *data, size_t n), void *ctx)
{
    std::array<uint8_t, UP_PACKAGE_CHUNK> buf;
    for (uint64_t done = 0; done < len;) {
        size_t want = len - done < buf.size() ? (size_t)(len - done) : buf.size();
        if (!UP_ASSERT(want > 0 && want <= buf.size(), "a streamed chunk fits its buffer"))
            return -1;
        if (up_package_pread(fd, off + done, buf.data(), want) != (ssize_t)want)
            return -1;
        int rc = each_chunk(ctx, buf.data(), want);
        if (rc != 0)
            return rc;
        done += want;
    }
    return 0;
}

int up_package_crc32(int fd, uint64_t off, uint64_t len, uint32_t *crc)
{
    if (crc == nullptr)
        return -1;
    uint32_t value = 0xFFFFFFFFu;
    if (up_package_digest_applies(fd)) {
        if (up_package_digest_crc32(fd, off, len, &value) != 0)
            return -1;
        *crc = value;
        return 0;
    }
    auto add = [](void *ctx, const uint8_t *data, size_t n) {
        uint32_t *v = static_cast<uint32_t *>(ctx);
        *v = Crc32_ComputeBuf(*v, data, (uint32_t)n);
        return 0;
    };
    if (up_package_stream(fd, off, len, add, &value) != 0)
        return -1;
    *crc = value;
    return 0;
}

int up_package_capacity(int fd, uint64_t *size)
{
    const package_device *d = nullptr;
    if (size == nullptr || learn_device(fd, &d) != 0)
        return -1;
    if (d->is_mtd) {
        *size = d->size - (uint64_t)d->bad_count * d->block;
        return 0;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    *size = (uint64_t)st.st_size;
    return 0;
}

bool up_package_is_partition(int fd)
{
    const package_device *d = nullptr;
    return learn_device(fd, &d) == 0 && d->is_mtd;
}

int up_package_bytes_before(int fd, uint64_t device_offset, uint64_t *bytes)
{
    const package_device *d = nullptr;
    if (bytes == nullptr || learn_device(fd, &d) != 0)
        return -1;
    uint64_t skipped = 0;
    for (int i = 0; d->is_mtd && i < d->bad_count; ++i)
        if (d->bad[(size_t)i] * d->block < device_offset)
            skipped += d->block;
    *bytes = device_offset > skipped ? device_offset - skipped : 0;
    return 0;
}

void up_package_forget(void)
{
    up_package_digest_drop();
    s_dev = package_device{};
}

uint32_t up_package_span_next(package_span_reader *r, uint32_t want, const uint8_t **out)
{
    if (r->have - r->pos < want && !r->ended && r->taken < r->span.len) {
        uint32_t keep = r->have - r->pos;
        memmove(r->buf.data(), r->buf.data() + r->pos, keep);
        r->have = keep;
        r->pos = 0;
        uint32_t ask = (uint32_t)r->buf.size() - keep;
        if (ask > r->span.len - r->taken)
            ask = (uint32_t)(r->span.len - r->taken);
        if (up_package_pread(r->span.fd, r->span.off + r->taken, r->buf.data() + keep, ask) == (ssize_t)ask) {
            r->have += ask;
            r->taken += ask;
        } else {
            r->ended = true;
        }
    }
    uint32_t n = r->have - r->pos < want ? r->have - r->pos : want;
    *out = r->buf.data() + r->pos;
    r->pos += n;
    return n;
}
