// The 256 KiB block file that carries the NV backup across a power cut.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>

#include "kq_log.h"
#include "nv_backup_store.h"
#include "up_bytes.h"
#include "up_fd.h"

namespace {

// A backup file larger than this does not fit beside the header and the
// identity record.
constexpr long NV_FILE_MAX = (long)(NV_BLOCK_SIZE - NV_BLOCK_HEAD_SIZE - EFS_H_CFG_SIZE);

} // namespace

int write_nv_at_to_mem_block(const char *nv_file, const efs_h_cfg *at_cfg, const char *mtd_block)
{
    printf("mtd_block is:%s", mtd_block);
    fflush(stdout);
    std::unique_ptr<uint8_t[]> image(new uint8_t[NV_BLOCK_SIZE]());

    struct stat st {};
    if (stat(nv_file, &st) != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get %s state failed\n\n", nv_file);
        return -1;
    }
    const long nv_size = (long)st.st_size;
    if (nv_size > NV_FILE_MAX) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]nv_bak file size %ld does not fit the block\n\n", nv_size);
        return -1;
    }
    unique_fd nv(open(nv_file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!nv.ok()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open nv_bak file err\n\n");
        return -1;
    }
    if (read_full(nv.get(), image.get() + NV_BLOCK_HEAD_SIZE, (size_t)nv_size) != (ssize_t)nv_size) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]read nv_bak file size ==%ld failed.\n\n", nv_size);
        return -1;
    }
    put_le32(image.get(), (uint32_t)nv_size);
    if (at_cfg != nullptr) {
        put_le32(image.get() + 4, EFS_H_CFG_SIZE);
        efs_cfg_encode(at_cfg, image.get() + NV_BLOCK_HEAD_SIZE + nv_size);
    }
    // The new image goes to a file beside the block and replaces it only
    // when it is complete on disk: a power cut while packing leaves the
    // earlier backup, never a half-written one.
    std::string tmp = std::string(mtd_block) + ".new";
    unlink(tmp.c_str());
    unique_fd blk(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!blk.ok()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open block failed.\n\n");
        return -1;
    }
    if (write_full(blk.get(), image.get(), NV_BLOCK_SIZE) < 0 || fsync(blk.get()) != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]write block failed,size ==%ld failed.\n\n", (long)-1);
        unlink(tmp.c_str());
        return -1;
    }
    blk.reset();
    if (rename(tmp.c_str(), mtd_block) != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]write block failed,size ==%ld failed.\n\n", (long)-1);
        unlink(tmp.c_str());
        return -1;
    }
    return 1;
}

int get_nv_at_from_mem_block(const char *nv_file, efs_h_cfg *at_cfg, const char *mtd_block)
{
    std::unique_ptr<uint8_t[]> image(new uint8_t[NV_BLOCK_SIZE]());
    unique_fd blk(open(mtd_block, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!blk.ok()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open block failed.\n\n");
        return -1;
    }
    ssize_t got = read_full(blk.get(), image.get(), NV_BLOCK_SIZE);
    if (got < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]read block failed,size ==%ld failed.\n\n", (long)got);
        return -1;
    }
    // Sizes come from flash: a damaged header must not make the restore
    // read past the image or feed the modem what was never backed up.
    const int32_t nv_size = (int32_t)get_le32(image.get());
    const int32_t at_size = (int32_t)get_le32(image.get() + 4);
    const long limit = (long)got - (long)NV_BLOCK_HEAD_SIZE;
    if (nv_size < 0 || (at_size != 0 && at_size != (int32_t)EFS_H_CFG_SIZE) ||
        (long)nv_size + (long)at_size > limit) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]block sizes nv=%ld at=%ld do not fit the block\n\n",
               (long)nv_size, (long)at_size);
        return -1;
    }
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
