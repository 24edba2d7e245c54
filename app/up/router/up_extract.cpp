// Copies one record out of the package into a file, and unpacks a compressed
// record into the unpack folder.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#include "kq_log.h"
#include "up_api.h"
#include "up_extract.h"
#include "up_fd.h"
#include "up_package_io.h"
#include "up_tmp_file.h"

namespace {

// The package reader hands out whole verified blocks from its own buffer,
// so small pieces here cost no extra reads of the package.
constexpr size_t k_copy_block = 0x4000;

// Streams the record's bytes from the package into out and counts them in
// total. 0, or -1 on a read or write error.
int copy_record_data(int i_flash_fd, const package_record_t *rec, int out, uint32_t *total)
{
    std::array<uint8_t, k_copy_block> buf;
    uint32_t remain = rec->record_length;
    *total = 0;
    while (remain > 0) {
        size_t want = remain < k_copy_block ? remain : k_copy_block;
        if (up_package_pread(i_flash_fd, (uint64_t)rec->record_offset + *total, buf.data(), want) !=
            (ssize_t)want) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]read file error \n\n");
            return -1;
        }
        if (write_full(out, buf.data(), want) < 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]write file error \n\n");
            return -1;
        }
        *total += (uint32_t)want;
        remain -= (uint32_t)want;
    }
    return 0;
}

int unpack_archive(const char *dir, const char *name, const char *tar_tool, const char *unpack_dir)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]sub-image is compressed\n\n");
    // Made fresh: a folder left from before (or planted, with links or files
    // of its own inside) would have its contents installed with the archive's.
    if (up_tmp_mkdir_fresh(unpack_dir, 0700) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]mkdir /tmp/2ndrootfs errno is %d\n\n", errno);
        return -1;
    }
    char cmd[512];
    int n = snprintf(cmd, sizeof cmd, " %s jxvf %s/%s -C %s >>/dev/null ", tar_tool, dir, name,
                     unpack_dir);
    if (n < 0 || n >= (int)sizeof cmd || up_util_sys_cmd(cmd) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]untar package item failed\n\n");
        return -1;
    }
    n = snprintf(cmd, sizeof cmd, "rm %s/%s -rf >>/dev/null", dir, name);
    if (n < 0 || n >= (int)sizeof cmd || up_util_sys_cmd(cmd) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]rm  default package failed\n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]extract system package record success\n\n");
    return 0;
}

} // namespace

int up_check_record_in_package(int i_flash_fd, const package_record_t *p_pack_record_t)
{
    if (p_pack_record_t == nullptr)
        return -1;
    uint64_t size = 0;
    if (up_package_capacity(i_flash_fd, &size) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot tell the package size\n\n");
        return -1;
    }
    uint64_t end = (uint64_t)p_pack_record_t->record_offset + p_pack_record_t->record_length;
    if (end > size) {
        UP_LOG(KQ_LOG_ERROR,
               "[%s:%d]record at %lu of %lu bytes reaches beyond the package (%llu bytes)\n\n",
               (unsigned long)p_pack_record_t->record_offset,
               (unsigned long)p_pack_record_t->record_length, (unsigned long long)size);
        return -1;
    }
    return 0;
}

int up_extract_record_into(int i_flash_fd, const package_record_t *p_pack_record_t,
                           const char *dir, const char *tar_tool, const char *unpack_dir)
{
    if (p_pack_record_t == nullptr) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]NULL p_pack_record_t \n\n");
        return -1;
    }
    if (dir == nullptr || tar_tool == nullptr || unpack_dir == nullptr)
        return -1;
    // Everything that could refuse the record is decided before a file exists.
    char name[UP_RECORD_NAME_MAX];
    if (up_record_file_name(p_pack_record_t, name, sizeof name) != 0)
        return -1;
    if (up_check_record_in_package(i_flash_fd, p_pack_record_t) != 0)
        return -1;
    char path[256];
    int n = snprintf(path, sizeof path, "%s/%s", dir, name);
    if (n < 0 || n >= (int)sizeof path)
        return -1;
    // A fresh file: an older, longer file would keep its tail, a planted link
    // would redirect the write, a file of someone else's could be changed
    // between this copy and its install.
    unique_fd out(up_tmp_create_fresh(path, 0600));
    if (!out.ok()) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]open the tmp direct file fail \n\n");
        return -1;
    }
    uint32_t total = 0;
    if (copy_record_data(i_flash_fd, p_pack_record_t, out.get(), &total) != 0)
        return -1;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the read write actual len is %ld and in package len is %ld\n\n",
           (long)total, (long)p_pack_record_t->record_length);
    if (total != p_pack_record_t->record_length) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]extract the record item failed \n\n");
        return -1;
    }
    out.reset();
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]extract sub-image file success \n\n");
    if (p_pack_record_t->compressed != 1)
        return 0;
    return unpack_archive(dir, name, tar_tool, unpack_dir);
}

int up_process_extract_submodule_file(int i_flash_fd, const package_record_t *p_pack_record_t)
{
    return up_extract_record_into(i_flash_fd, p_pack_record_t, UP_TMP_DIR, UP_TMP_TAR,
                                  UP_UNPACK_DIR);
}
