// Shared parts of the flash tool stand-ins (flash_erase, nandwrite, kobs-ng).
//
// They act on a partition only through MTD ioctls and whole-page writes, so
// under the flash emulation they obey the same NAND rules as the real tools.
#pragma once

#include <cstdint>
#include <mtd/mtd-user.h>

// Appends "argv joined by blanks" as one line to the file named by
// FLASHTOOLS_LOG; nothing when it is unset.
void tool_log_invocation(int argc, char **argv);

// Parses a decimal, 0x hex or 0 octal number that fills the whole text.
bool parse_number(const char *text, uint64_t *value);

// Opens a partition read-write and reads its geometry. Returns the
// descriptor, or -1 after printing why to standard error.
int mtd_open(const char *tool, const char *dev, mtd_info_user *info);

// Erases count blocks from block-aligned byte offset start, skipping blocks
// the driver reports bad. 0 or -1 (message printed).
int mtd_erase_blocks(const char *tool, int fd, const mtd_info_user &info, uint64_t start, uint64_t count);

// 1 when the erase block holding byte at is bad, 0 when good (also when the
// device keeps no bad-block table), -1 when the driver refuses the question.
int mtd_block_bad(int fd, uint64_t at);

// Erase blocks from block-aligned byte offset start that hold len bytes in
// good blocks (bad ones counted in, as they are stepped over), or -1 when the
// good blocks up to the end of the device are too few.
int64_t mtd_span_blocks(int fd, const mtd_info_user &info, uint64_t start, uint64_t len);

// Writes the file from byte offset start, the last page padded with 0xFF
// when pad is set (otherwise a file that does not end on a page is refused).
// Bad blocks are stepped over, as nandwrite does; a file that does not fit
// the good blocks left is refused before anything is written.
// 0 or -1 (message printed). *written receives the bytes put on flash.
int mtd_write_file(const char *tool, int fd, const mtd_info_user &info, const char *path, uint64_t start,
                   bool pad, uint64_t *written);

// Size of a regular file, or -1.
int64_t file_size(const char *path);
