// What keeps a pending NV backup whole: the summary of its high-priority
// file, the setting aside of a damaged block, the one removal of the backup
// files with the rule that guards it, and folder flushes after a rename or
// removal.
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>

#include "kq_assert.h"
#include "kq_log.h"
#include "nv_backup_store.h"
#include "serial_port.h"
#include "up_api.h"
#include "up_bytes.h"
#include "up_fd.h"

namespace {

// A high-NV record is an item number, a length and at most this many bytes.
constexpr uint32_t HIGH_DATA_MAX = 1024;
constexpr int SET_ASIDE_MAX = 999;
constexpr uint32_t REMOVE_WAIT_MS = 500;

// Set by a restore that every record confirmed; only then may the backup
// it restored be removed.
bool g_restore_confirmed = false;

bool exists(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// A path that may stand in a shell command as it is: absolute, made of
// letters, digits and "/._-" only, no ".." part.
bool plain_path(const char *path)
{
    if (path == nullptr || path[0] != '/' || strstr(path, "..") != nullptr)
        return false;
    for (const char *c = path; *c != '\0'; c++)
        if (!isalnum((unsigned char)*c) && strchr("/._-", *c) == nullptr)
            return false;
    return true;
}

// Removes path, when it exists, the way the backup files were always
// removed: "<what>", then "rm -rf <path>" run and logged, then a pause.
void remove_file_logged(const char *path, const char *what)
{
    if (!exists(path))
        return;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]%s\n\n", what);
    std::array<char, 64> cmd{};
    const int n = snprintf(cmd.data(), cmd.size(), "rm -rf %s", path);
    if (!plain_path(path) || n < 0 || (size_t)n >= cmd.size()) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]%s is no path to remove\n\n", path);
        return;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]run :%s\n\n", cmd.data());
    up_util_sys_cmd(cmd.data());
    Sleep(REMOVE_WAIT_MS);
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

bool nv_restore_confirmed(void)
{
    return g_restore_confirmed;
}

void nv_restore_confirm(void)
{
    g_restore_confirmed = true;
}

void nv_restore_unconfirm(void)
{
    g_restore_confirmed = false;
}

int nv_backup_remove(const char *mtd_block, const char *high_file)
{
    if (!UP_ASSERT(g_restore_confirmed, "the NV backup is removed only after a restore in this run that every record confirmed"))
        return -1;
    // The block goes first: it is what marks the backup as pending, and a
    // high-NV file left alone by a power cut belongs to no backup.
    remove_file_logged(mtd_block, "will to remove old modem NV back");
    remove_file_logged(high_file, "will to remove high modem NV back");
    nv_sync_parent_dir(mtd_block);
    g_restore_confirmed = false;
    return exists(mtd_block) ? -1 : 0;
}

int nv_stray_high_remove(const char *mtd_block, const char *high_file)
{
    if (!UP_ASSERT(!exists(mtd_block), "a high-NV file is removed without its restore only when no backup block stands beside it"))
        return -1;
    remove_file_logged(high_file, "will to remove high modem NV back");
    nv_sync_parent_dir(high_file);
    return exists(high_file) ? -1 : 0;
}

int nv_high_find_kept(const char *high_file, const nv_high_summary &recorded, std::string *path)
{
    if (!recorded.recorded || recorded.count == 0)
        return 0;
    const auto matches = [&recorded](const std::string &p) {
        nv_high_summary now;
        return nv_high_file_summary(p.c_str(), &now) == 0 && now.count == recorded.count &&
               now.length == recorded.length && now.crc == recorded.crc;
    };
    // The newest set-aside pair first: an older one may be another
    // transaction's with the same items.
    for (int n = SET_ASIDE_MAX; n >= 1; n--) {
        const std::string p = std::string(high_file) + ".damaged-" + std::to_string(n);
        if (exists(p) && matches(p)) {
            *path = p;
            return 1;
        }
    }
    if (exists(high_file) && matches(high_file)) {
        *path = high_file;
        return 1;
    }
    return 0;
}

int nv_block_set_aside(const char *mtd_block, const char *high_file)
{
    for (int n = 1; n <= SET_ASIDE_MAX; n++) {
        const std::string block_to = std::string(mtd_block) + ".damaged-" + std::to_string(n);
        const std::string high_to = std::string(high_file) + ".damaged-" + std::to_string(n);
        // A high-NV file moved here by a set-aside that a power cut
        // stopped before its block followed is that block's: the pair
        // keeps the one number.
        const bool high_went_first = !exists(high_file) && exists(high_to);
        if (exists(block_to) || (exists(high_to) && !high_went_first))
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

int nv_high_set_aside(const char *high_file)
{
    for (int n = 1; n <= SET_ASIDE_MAX; n++) {
        const std::string to = std::string(high_file) + ".kept-" + std::to_string(n);
        if (exists(to))
            continue;
        if (rename(high_file, to.c_str()) != 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot set %s aside: %s\n\n", high_file, strerror(errno));
            return -1;
        }
        nv_sync_parent_dir(high_file);
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]%s belongs to no NV backup: kept as %s\n\n", high_file, to.c_str());
        return n;
    }
    UP_LOG(KQ_LOG_ERROR, "[%s:%d]no free name to set %s aside\n\n", high_file);
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
