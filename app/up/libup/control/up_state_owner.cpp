// Which package the resume state word belongs to.
#include "up_state_owner.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kq_log.h"
#include "up_api.h"
#include "up_bytes.h"
#include "up_fd.h"
#include "up_state_io.h"

namespace {

constexpr char k_owner_magic[8] = {'U', 'P', 'S', 'T', 'P', 'K', 'G', '1'};

// The folder of path, for its sync after the rename.
int sync_folder_of(const char *path)
{
    char copy[256];
    if (snprintf(copy, sizeof copy, "%s", path) >= (int)sizeof copy)
        return -1;
    unique_fd dir(open(dirname(copy), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.ok() && fsync(dir.get()) == 0 ? 0 : -1;
}

bool same_owner(const up_state_owner &a, const up_state_owner &b)
{
    return a.packlen == b.packlen && a.hash == b.hash;
}

} // namespace

void up_state_owner_encode(const up_state_owner &o, uint8_t raw[UP_STATE_OWNER_FILE_SIZE])
{
    memset(raw, 0, UP_STATE_OWNER_FILE_SIZE);
    memcpy(raw, k_owner_magic, sizeof k_owner_magic);
    put_le32(raw + 8, o.packlen);
    memcpy(raw + 16, o.hash.data(), o.hash.size());
}

int up_state_owner_decode(const uint8_t raw[UP_STATE_OWNER_FILE_SIZE], up_state_owner *o)
{
    static_assert(16 + UP_STATE_OWNER_HASH_SIZE == UP_STATE_OWNER_FILE_SIZE, "the record is 80 bytes");
    if (memcmp(raw, k_owner_magic, sizeof k_owner_magic) != 0 || get_le32(raw + 12) != 0)
        return -1;
    o->packlen = get_le32(raw + 8);
    memcpy(o->hash.data(), raw + 16, o->hash.size());
    return 0;
}

int up_state_owner_read(const char *path, up_state_owner *o)
{
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    std::array<uint8_t, UP_STATE_OWNER_FILE_SIZE + 1> raw{};
    if (!fd.ok())
        return 0;
    // One byte more than a record: a longer file is no record either.
    ssize_t n = read_full(fd.get(), raw.data(), raw.size());
    if (n != (ssize_t)UP_STATE_OWNER_FILE_SIZE || up_state_owner_decode(raw.data(), o) != 0)
        return 0;
    return 1;
}

int up_state_owner_write(const char *path, const up_state_owner &o)
{
    char tmp[256];
    if (snprintf(tmp, sizeof tmp, "%s.new", path) >= (int)sizeof tmp)
        return -1;
    std::array<uint8_t, UP_STATE_OWNER_FILE_SIZE> raw{};
    up_state_owner_encode(o, raw.data());
    // A file left at the temporary name by a cut run is replaced, never
    // written through.
    if (unlink(tmp) != 0 && errno != ENOENT) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot remove %s, errno %d\n\n", tmp, errno);
        return -1;
    }
    {
        unique_fd fd(open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.ok() || write_full(fd.get(), raw.data(), raw.size()) != (ssize_t)raw.size() ||
            fsync(fd.get()) != 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot write %s, errno %d\n\n", tmp, errno);
            unlink(tmp);
            return -1;
        }
    }
    if (rename(tmp, path) != 0 || sync_folder_of(path) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot put %s in place, errno %d\n\n", path, errno);
        unlink(tmp);
        return -1;
    }
    return 0;
}

int up_claim_upgrade_state(const char *owner_path, const up_state_owner &pkg)
{
    if (up_check_mount(UP_IMAGE_PATH_DIR) == 0)
        return 0;
    up_state_owner recorded{};
    if (up_state_owner_read(owner_path, &recorded) == 1 && same_owner(recorded, pkg)) {
        UP_LOG(KQ_LOG_INFO, "[%s:%d]the update state belongs to this package: resuming\n\n");
        return 0;
    }
    int32_t word = -1;
    bool readable = false;
    {
        unique_fd dev(open(UP_PACKAGE_DEV, O_RDONLY | O_CLOEXEC));
        readable = dev.ok() && up_state_read_at(dev.get(), UP_STATE_OFFSET, &word) == 0;
    }
    // An erased word is a fresh start and stays as it is; so does a word that
    // reads as 0. Any step bit was set for some other package, or for one
    // nobody recorded: installing again is safe, skipping is not.
    if (readable && word != -1 && up_state_from_word(word) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]update state %ld was not left by this package: installing every record\n\n",
               (long)word);
        if (up_set_upgrade_status(0) != 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot clear the update state of another package\n\n");
            return -1;
        }
    }
    if (up_state_owner_write(owner_path, pkg) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot record the package of the update state\n\n");
        return -1;
    }
    return 0;
}
