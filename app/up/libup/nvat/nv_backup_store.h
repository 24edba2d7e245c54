// The NV backup around a modem upgrade: the backup file (identity record and
// NV records), the high-NV file, and the fixed-size block file on the second
// file system into which both the backup file and the identity record are
// packed, so that they survive a power cut during the flashing.
#pragma once

#include <cstdint>

#include "efs_config.h"

constexpr uint32_t NV_BLOCK_SIZE = 262144;
constexpr uint32_t NV_BLOCK_HEAD_SIZE = 8;

// Header of the block image, little-endian on disk.
struct mtd_block_t {
    int32_t nv_size;    // length of the backup file stored after the header
    int32_t at_size;    // 548 when an identity record follows it, else 0
};
static_assert(sizeof(mtd_block_t) == 8, "block header is 8 bytes");

// Reads the identity items and the preserved NV items into backup_file and
// the high-priority items into "/2ndfile/high_nv". 0, or -1.
int back_up_nv(const char *at_interface, const char *diag_interface, efs_h_cfg *cfg_nv,
               const char *backup_file);
// Writes the high-priority items, the NV records and the identity items of
// backup_file back into the modem, through the caller's diagnostic port.
// cfg_nv is replaced by the backup's header. 0, or -1.
int mu_restore_nv(int diag_fd, const char *at_interface, efs_h_cfg *cfg_nv,
                  const char *backup_file);

// Packs nv_file (and at_cfg when given) into the block file. 1, or -1; the
// block file is replaced only by a complete new image.
int write_nv_at_to_mem_block(const char *nv_file, const efs_h_cfg *at_cfg, const char *mtd_block);
// Recreates nv_file from the block file and fills at_cfg when the block holds
// an identity record. 1, or -1 for a block whose sizes do not fit.
int get_nv_at_from_mem_block(const char *nv_file, efs_h_cfg *at_cfg, const char *mtd_block);
// Opens the diagnostic port again. Descriptor, or -1.
int fd_re_open(const char *diagnose_inface, int exclusived);
