// The NV backup around a modem upgrade: the backup file (identity record and
// NV records), the high-NV file, and the fixed-size block file on the second
// file system into which both the backup file and the identity record are
// packed, so that they survive a power cut during the flashing.
#pragma once

#include <cstdint>
#include <string>

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
// The same, each part put back even when another fails; with_high false
// leaves the high-priority items out (their file is damaged), and the
// restore then never counts as confirmed. 0 when every part asked for was
// put back.
int mu_restore_nv_parts(int diag_fd, const char *at_interface, efs_h_cfg *cfg_nv, const char *backup_file,
                        bool with_high);

// Packs nv_file (and at_cfg when given) into the block file. 1, or -1; the
// block file is replaced only by a complete new image.
int write_nv_at_to_mem_block(const char *nv_file, const efs_h_cfg *at_cfg, const char *mtd_block);
// Recreates nv_file from the block file and fills at_cfg when the block holds
// an identity record. 1, or -1 for a block whose sizes do not fit.
int get_nv_at_from_mem_block(const char *nv_file, efs_h_cfg *at_cfg, const char *mtd_block);
// Opens the diagnostic port again. Descriptor, or -1.
int fd_re_open(const char *diagnose_inface, int exclusived);

// The high-priority items a backup holds. The block records them in its
// last NV_HIGH_TRAILER_SIZE bytes, which the header's sizes never reach and
// an older reader leaves alone:
//   "HNV1", item count, length of the high-NV file, CRC-32 of that file
// (little-endian), so that a short, empty or missing "/2ndfile/high_nv" is
// known for what it is at the restore.
constexpr uint32_t NV_HIGH_TRAILER_SIZE = 16;
constexpr uint32_t NV_HIGH_TRAILER_OFFSET = NV_BLOCK_SIZE - NV_HIGH_TRAILER_SIZE;
struct nv_high_summary {
    bool recorded = false;     // false: a block of an older writer, no trailer
    uint32_t count = 0;
    uint32_t length = 0;
    uint32_t crc = 0;
};

enum nv_block_state {
    NV_BLOCK_NONE = 0,         // no block file
    NV_BLOCK_OK = 1,           // header and sizes fit: a backup to restore
    NV_BLOCK_DAMAGED = 2,      // a block whose header or sizes do not fit
    NV_BLOCK_IO_ERROR = 3,     // the block could not be read: nothing is known
};

// Looks at the block file without unpacking it (no working file is made).
// high (may be null) gets the recorded high-priority summary.
nv_block_state nv_block_inspect(const char *mtd_block, nv_high_summary *high);
// The identity record a whole block holds, without unpacking it. 1 with
// *out filled, 0 for a block without one, -1 for a block that is missing or
// not whole.
int nv_block_identity(const char *mtd_block, efs_h_cfg *out);
// Packs nv_file, at_cfg and the summary of high_file into a new block file.
// 1, or -1; it never replaces an existing block (a pending backup is the
// only copy of the modem's items), and it fails unless nv_file holds at
// least one NV record after its header.
int nv_block_pack(const char *nv_file, const efs_h_cfg *at_cfg, const char *high_file,
                  const char *mtd_block);
// Summary of a high-NV file: its records must parse whole. 0, or -1 when
// the file is missing, unreadable or ends inside a record.
int nv_high_file_summary(const char *high_file, nv_high_summary *out);
// 0 when high_file is what the block recorded (a block without a trailer
// needs a high_file of one whole record or more); -1 otherwise, logged.
int nv_high_file_check(const char *high_file, const nv_high_summary &recorded);
// The high-NV file kept for a backup whose block was lost or set aside as
// damaged: "<high>.damaged-<n>" of the highest n, else high_file itself,
// whose records are whole and match what the journal recorded (count,
// length, CRC-32; a record of no item matches nothing). 1 with *path set,
// 0 when none matches.
int nv_high_find_kept(const char *high_file, const nv_high_summary &recorded, std::string *path);
// Moves a damaged block (and the high-NV file beside it) to
// "<block>.damaged-<n>" ("<high>.damaged-<n>"), n the first number not yet
// used, so an operator can still read it. n, or -1.
int nv_block_set_aside(const char *mtd_block, const char *high_file);
// Moves a high-NV file that belongs to no block out of the way of a new
// backup, to "<high>.kept-<n>", n the first number not yet used, so that
// an operator's file (imgrenew nv_get) is never lost. n, or -1.
int nv_high_set_aside(const char *high_file);
// fsync of the folder that holds path, so a rename or removal in it
// outlives a power cut. 0, or -1.
int nv_sync_parent_dir(const char *path);

// The rule that keeps a backup: the block file and its high-NV file are
// removed only after a restore in this run that every record confirmed.
// The flag says so. It is set only by mu_restore_nv when every high-NV
// record, NV record and identity value was confirmed, and cleared at the
// start of each backup, each restore attempt and each modem step, and by a
// removal.
bool nv_restore_confirmed(void);
void nv_restore_confirm(void);
void nv_restore_unconfirm(void);
// Removes the backup: the block file first (it marks the backup as
// pending), then the high-NV file, each as "rm -rf <path>" with the log
// lines "<what>" and "run :rm -rf <path>" and a 500 ms pause, then flushes
// their folder. Without a confirmed restore it logs the broken rule and
// removes nothing. 0 when no block is left, else -1.
int nv_backup_remove(const char *mtd_block, const char *high_file);
// Removes a high-NV file that belongs to no backup (no block file beside
// it: a backup cut before its block was written, or a removal cut between
// the two files), the same way. With a block beside it, it logs the broken
// rule and removes nothing. 0 when the file is gone, else -1.
int nv_stray_high_remove(const char *mtd_block, const char *high_file);
