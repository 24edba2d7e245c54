// The 256 KiB block file that carries the NV backup across a power cut.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>

#include "kq_assert.h"
#include "kq_log.h"
#include "nv_backup_store.h"
#include "up_api.h"
#include "up_bytes.h"
#include "up_fd.h"

namespace {

// A backup file larger than this does not fit beside the header, the
// identity record and the high-priority trailer.
constexpr long NV_FILE_MAX =
    (long)(NV_BLOCK_SIZE - NV_BLOCK_HEAD_SIZE - EFS_H_CFG_SIZE - NV_HIGH_TRAILER_SIZE);
constexpr uint8_t HIGH_MAGIC[4] = {'H', 'N', 'V', '1'};
// The identity record heads a backup file; NV records of 130 bytes follow.
constexpr long BACKUP_HEADER_SIZE = 548;
constexpr long NV_RECORD_BYTES = 130;

using image_ptr = std::unique_ptr<uint8_t[]>;

// The block image of nv_file and at_cfg; nv_size its length. -1 (logged)
// when the file cannot be read whole or does not fit.
int build_image(const char *nv_file, const efs_h_cfg *at_cfg, uint8_t *image, long *nv_size)
{
    struct stat st {};
    if (stat(nv_file, &st) != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get %s state failed\n\n", nv_file);
        return -1;
    }
    *nv_size = (long)st.st_size;
    if (*nv_size > NV_FILE_MAX) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]nv_bak file size %ld does not fit the block\n\n", *nv_size);
        return -1;
    }
    if (!UP_ASSERT(*nv_size >= 0 && (uint64_t)NV_BLOCK_HEAD_SIZE + (uint64_t)*nv_size + EFS_H_CFG_SIZE <=
                                         NV_HIGH_TRAILER_OFFSET,
                   "the backup file and the identity record are packed before the block's trailer"))
        return -1;
    unique_fd nv(open(nv_file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!nv.ok()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open nv_bak file err\n\n");
        return -1;
    }
    if (read_full(nv.get(), image + NV_BLOCK_HEAD_SIZE, (size_t)*nv_size) != (ssize_t)*nv_size) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]read nv_bak file size ==%ld failed.\n\n", *nv_size);
        return -1;
    }
    put_le32(image, (uint32_t)*nv_size);
    if (at_cfg != nullptr) {
        put_le32(image + 4, EFS_H_CFG_SIZE);
        efs_cfg_encode(at_cfg, image + NV_BLOCK_HEAD_SIZE + *nv_size);
    }
    return 0;
}

// Writes the image to a file beside the block, flushed, then puts it in
// place: with replace, over the old block (rename); without, only where no
// block is (link, which never replaces). Then the folder is flushed, so a
// power cut leaves the earlier block or the whole new one.
int write_image(const uint8_t *image, const char *mtd_block, bool replace)
{
    std::string tmp = std::string(mtd_block) + ".new";
    unlink(tmp.c_str());
    unique_fd blk(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!blk.ok()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open block failed.\n\n");
        return -1;
    }
    if (write_full(blk.get(), image, NV_BLOCK_SIZE) < 0 || fsync(blk.get()) != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]write block failed,size ==%ld failed.\n\n", (long)-1);
        unlink(tmp.c_str());
        return -1;
    }
    blk.reset();
    int rc = replace ? rename(tmp.c_str(), mtd_block) : link(tmp.c_str(), mtd_block);
    const int err = errno;
    if (!replace)
        unlink(tmp.c_str());
    if (rc != 0) {
        if (err == EEXIST)
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]%s holds a backup that was not restored: it is kept, the new one dropped\n\n",
                   mtd_block);
        else
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]write block failed,size ==%ld failed.\n\n", (long)-1);
        unlink(tmp.c_str());
        return -1;
    }
    if (nv_sync_parent_dir(mtd_block) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot flush the folder of %s: %s\n\n", mtd_block, strerror(errno));
        return -1;
    }
    return 1;
}

// Reads the block into image; the count read, or -1.
ssize_t read_image(const char *mtd_block, uint8_t *image)
{
    unique_fd blk(open(mtd_block, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!blk.ok()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open block failed.\n\n");
        return -1;
    }
    ssize_t got = read_full(blk.get(), image, NV_BLOCK_SIZE);
    if (got < 0)
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]read block failed,size ==%ld failed.\n\n", (long)got);
    return got;
}

bool has_trailer(const uint8_t *image, ssize_t got)
{
    return got == (ssize_t)NV_BLOCK_SIZE && memcmp(image + NV_HIGH_TRAILER_OFFSET, HIGH_MAGIC, 4) == 0;
}

// Sizes come from flash: a damaged header must not make the restore read
// past the image, into the trailer, or feed the modem what was never
// backed up.
bool sizes_fit(const uint8_t *image, ssize_t got)
{
    const int32_t nv_size = (int32_t)get_le32(image);
    const int32_t at_size = (int32_t)get_le32(image + 4);
    long limit = (long)got - (long)NV_BLOCK_HEAD_SIZE;
    if (has_trailer(image, got))
        limit -= (long)NV_HIGH_TRAILER_SIZE;
    if (got < (ssize_t)NV_BLOCK_HEAD_SIZE || nv_size < 0 ||
        (at_size != 0 && at_size != (int32_t)EFS_H_CFG_SIZE) || (long)nv_size + (long)at_size > limit) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]block sizes nv=%ld at=%ld do not fit the block\n\n", (long)nv_size,
               (long)at_size);
        return false;
    }
    return true;
}

// Names the block file, as the block writers always have, and builds its
// image from the NV file and the identity record. nullptr on failure.
image_ptr start_block_image(const char *nv_file, const efs_h_cfg *at_cfg, const char *mtd_block, long *nv_size)
{
    printf("mtd_block is:%s", mtd_block);
    fflush(stdout);
    image_ptr image(new uint8_t[NV_BLOCK_SIZE]());
    if (build_image(nv_file, at_cfg, image.get(), nv_size) != 0)
        return nullptr;
    return image;
}

} // namespace

int write_nv_at_to_mem_block(const char *nv_file, const efs_h_cfg *at_cfg, const char *mtd_block)
{
    long nv_size = 0;
    image_ptr image = start_block_image(nv_file, at_cfg, mtd_block, &nv_size);
    if (!image)
        return -1;
    return write_image(image.get(), mtd_block, true);
}

int nv_block_pack(const char *nv_file, const efs_h_cfg *at_cfg, const char *high_file, const char *mtd_block)
{
    long nv_size = 0;
    image_ptr image = start_block_image(nv_file, at_cfg, mtd_block, &nv_size);
    if (!image)
        return -1;
    // A backup without a single NV record saved nothing: flashing on it
    // would wipe items that exist nowhere else.
    if (nv_size < BACKUP_HEADER_SIZE + NV_RECORD_BYTES) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]the NV backup holds no NV record (%ld bytes): it is no backup\n\n", nv_size);
        return -1;
    }
    nv_high_summary high;
    if (nv_high_file_summary(high_file, &high) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]the high-priority NV file %s cannot be summed up\n\n", high_file);
        return -1;
    }
    uint8_t *t = image.get() + NV_HIGH_TRAILER_OFFSET;
    memcpy(t, HIGH_MAGIC, 4);
    put_le32(t + 4, high.count);
    put_le32(t + 8, high.length);
    put_le32(t + 12, high.crc);
    return write_image(image.get(), mtd_block, false);
}

int get_nv_at_from_mem_block(const char *nv_file, efs_h_cfg *at_cfg, const char *mtd_block)
{
    image_ptr image(new uint8_t[NV_BLOCK_SIZE]());
    ssize_t got = read_image(mtd_block, image.get());
    if (got < 0 || !sizes_fit(image.get(), got))
        return -1;
    const int32_t nv_size = (int32_t)get_le32(image.get());
    const int32_t at_size = (int32_t)get_le32(image.get() + 4);
    if (!UP_ASSERT(nv_size >= 0 && at_size >= 0 &&
                       (uint64_t)NV_BLOCK_HEAD_SIZE + (uint64_t)nv_size + (uint64_t)at_size <= (uint64_t)got,
                   "the backup is unpacked only from the bytes read of the block"))
        return -1;
    unlink(nv_file);
    unique_fd nv(open(nv_file, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!nv.ok()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open nv_bak file err\n\n");
        return -1;
    }
    if (write_full(nv.get(), image.get() + NV_BLOCK_HEAD_SIZE, (size_t)nv_size) < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]wirte nv_bak file size ==%ld failed.\n\n", (long)nv_size);
        return -1;
    }
    if (at_size != 0)
        efs_cfg_decode(image.get() + NV_BLOCK_HEAD_SIZE + nv_size, at_cfg);
    return 1;
}

nv_block_state nv_block_inspect(const char *mtd_block, nv_high_summary *high)
{
    struct stat st {};
    if (lstat(mtd_block, &st) != 0)
        return errno == ENOENT ? NV_BLOCK_NONE : NV_BLOCK_IO_ERROR;
    // Something else than a file at the block's name is no backup either,
    // but it is not the tool's to remove.
    if (!S_ISREG(st.st_mode))
        return NV_BLOCK_DAMAGED;
    image_ptr image(new uint8_t[NV_BLOCK_SIZE]());
    ssize_t got = read_image(mtd_block, image.get());
    if (got < 0)
        return NV_BLOCK_IO_ERROR;
    if (!sizes_fit(image.get(), got))
        return NV_BLOCK_DAMAGED;
    if (high != nullptr) {
        *high = nv_high_summary{};
        if (has_trailer(image.get(), got)) {
            const uint8_t *t = image.get() + NV_HIGH_TRAILER_OFFSET;
            high->recorded = true;
            high->count = get_le32(t + 4);
            high->length = get_le32(t + 8);
            high->crc = get_le32(t + 12);
        }
    }
    return NV_BLOCK_OK;
}

int nv_block_identity(const char *mtd_block, efs_h_cfg *out)
{
    image_ptr image(new uint8_t[NV_BLOCK_SIZE]());
    ssize_t got = read_image(mtd_block, image.get());
    if (got < 0 || !sizes_fit(image.get(), got))
        return -1;
    const int32_t nv_size = (int32_t)get_le32(image.get());
    if (get_le32(image.get() + 4) == 0)
        return 0;
    efs_cfg_decode(image.get() + NV_BLOCK_HEAD_SIZE + nv_size, out);
    return 1;
}
