// What keeps a pending NV backup whole: the summary of its high-priority
// file, the setting aside of a damaged block, and folder flushes after a
// rename or removal.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>

#include "kq_log.h"
#include "nv_backup_store.h"
#include "up_api.h"
#include "up_bytes.h"
#include "up_fd.h"

namespace {

// A high-NV record is an item number, a length and at most this many bytes.
constexpr uint32_t HIGH_DATA_MAX = 1024;
constexpr int SET_ASIDE_MAX = 999;

bool exists(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

} // namespace

int nv_high_file_summary(const char *high_file, nv_high_summary *out)
{
    *out = nv_high_summary{};
    unique_fd fd(open(high_file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok())
        return -1;
    uint32_t crc = 0;
    std::array<uint8_t, 4 + HIGH_DATA_MAX> rec{};
    for (;;) {
        ssize_t n = read_full(fd.get(), rec.data(), 4);
        if (n == 0)
            break;
        if (n != 4)
            return -1;
        const uint16_t len = get_le16(rec.data() + 2);
        if (len > HIGH_DATA_MAX || read_full(fd.get(), rec.data() + 4, len) != (ssize_t)len)
            return -1;
        crc = Crc32_ComputeBuf(crc, rec.data(), 4u + len);
        out->count++;
        out->length += 4u + len;
    }
    out->crc = crc;
    out->recorded = true;
    return 0;
}

int nv_high_file_check(const char *high_file, const nv_high_summary &recorded)
{
    nv_high_summary now;
    if (nv_high_file_summary(high_file, &now) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]the high-priority NV file %s is missing or cut inside a record\n\n",
               high_file);
        return -1;
    }
    if (!recorded.recorded) {
        // A block of an older writer does not say how many items it holds;
        // a high-NV file without one whole record saved nothing.
        if (now.count == 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]the high-priority NV file %s holds no item\n\n", high_file);
            return -1;
        }
        return 0;
    }
    if (now.count != recorded.count || now.length != recorded.length || now.crc != recorded.crc) {
        UP_LOG(KQ_LOG_ERROR,
               "[%s:%d]the high-priority NV file %s holds %lu items in %lu bytes, the backup recorded %lu in %lu\n\n",
               high_file, (unsigned long)now.count, (unsigned long)now.length, (unsigned long)recorded.count,
               (unsigned long)recorded.length);
        return -1;
    }
    return 0;
}

int nv_block_set_aside(const char *mtd_block, const char *high_file)
{
    for (int n = 1; n <= SET_ASIDE_MAX; n++) {
        const std::string block_to = std::string(mtd_block) + ".damaged-" + std::to_string(n);
        const std::string high_to = std::string(high_file) + ".damaged-" + std::to_string(n);
        if (exists(block_to) || exists(high_to))
            continue;
        // The high-NV file goes first: should power fail between the two
        // renames, the block still names the backup as pending.
        if (exists(high_file) && rename(high_file, high_to.c_str()) != 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot set %s aside: %s\n\n", high_file, strerror(errno));
            return -1;
        }
        if (rename(mtd_block, block_to.c_str()) != 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot set %s aside: %s\n\n", mtd_block, strerror(errno));
            return -1;
        }
        nv_sync_parent_dir(mtd_block);
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]damaged NV backup %s set aside as %s\n\n", mtd_block, block_to.c_str());
        return n;
    }
    UP_LOG(KQ_LOG_ERROR, "[%s:%d]no free name to set %s aside\n\n", mtd_block);
    return -1;
}

int nv_sync_parent_dir(const char *path)
{
    std::string dir = path;
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    unique_fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.ok() || fsync(fd.get()) != 0)
        return -1;
    return 0;
}
