// What is verified is what is installed. One pass before the first erase
// reads the package's packlen bytes once, in 128 KiB blocks: it feeds the
// whole-package BLAKE2b-512 hash (the signature's hash and the package's
// identity for the resume state) and keeps a 16-byte tag of every block.
// From then on every read of that package through up_package_pread is served
// from a verified block: the block is read whole, its tag checked, and only
// then are its bytes handed out (two blocks are kept in hand). A block that changed since the pass fails
// the read (logged with its offset) before a byte of it reaches a partition.
//
// The tags are Poly1305 with a one-time key per block derived from a random
// key made for this run: whoever rewrites the package cannot know the key, so
// a changed block passes with a probability of at most 2^-90 (Poly1305's
// bound for 128 KiB), and the tags cost a fraction of the hash. Nothing of
// this is stored; no format changes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

constexpr uint32_t UP_PACKAGE_BLOCK = 0x20000;
// The package partition is 128 MiB; a package file lives on a file system in
// it, so no package is larger. 16 KiB of tags at most (8.25 KiB for the
// largest package the partition mode can hold, 66 MiB).
constexpr uint32_t UP_PACKAGE_MAX_BLOCKS = 1024;
constexpr size_t UP_PACKAGE_TAG_SIZE = 16;
constexpr size_t UP_PACKAGE_HASH_SIZE = 64;

// A stretch of the package whose CRC-32 the run will ask for (the modem
// container's check): the pass computes it from the blocks it reads, so that
// up_package_crc32 over exactly that stretch need not read it a second time.
struct up_crc_range {
    uint64_t off;
    uint64_t len;
};
constexpr size_t UP_PACKAGE_CRC_RANGES = 8;

// The pass over the first len bytes of the package behind fd. Drops any
// earlier digests first. ranges (at most UP_PACKAGE_CRC_RANGES are kept)
// name the stretches whose CRC-32 it computes on the way. On success the digests cover [0, len) of that
// package, hash holds the BLAKE2b-512 of those bytes, and 0 is returned.
// -1 when a block cannot be read (logged with its offset, errno kept) or len
// exceeds UP_PACKAGE_MAX_BLOCKS blocks; no digests are then kept.
int up_package_digest_pass(int fd, uint64_t len, const up_crc_range *ranges, size_t n_ranges,
                           uint8_t hash[UP_PACKAGE_HASH_SIZE]);

// Drops the digests: later reads are plain reads again.
void up_package_digest_drop(void);

// True when digests are kept for the package behind fd.
bool up_package_digest_applies(int fd);

// True when the digests of fd's package cover [off, off + len): the pass has
// read those bytes, and every later read of them is checked.
bool up_package_digest_covers(int fd, uint64_t off, uint64_t len);

// A read of n bytes at package offset off of the digested package, each
// block checked before its bytes are copied out. n, or -1: errno ERANGE past
// the digested bytes, EBADMSG for a block that changed (logged), or the
// read's errno.
ssize_t up_package_digest_read(int fd, uint64_t off, void *buf, size_t n);

// CRC-32 (Crc32_ComputeBuf chained from *crc) of [off, off + len) of the
// digested package: a stretch the pass computed from 0xFFFFFFFF is not read
// again, any other is read and checked. 0 or -1 (as up_package_digest_read).
int up_package_digest_crc32(int fd, uint64_t off, uint64_t len, uint32_t *crc);

// Blocks read whole from the package since the last pass began (the pass's
// own included): what a test or a benchmark counts.
uint64_t up_package_digest_blocks_read(void);
