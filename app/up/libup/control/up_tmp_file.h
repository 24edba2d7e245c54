// Files the upgrade makes in the world-writable "/tmp". The tool runs as
// root, and anyone may have put a file, a link or a folder at any name there
// before it: nothing is written or read through such a thing, and no file
// that was there before is flashed, run or installed.
#pragma once

#include <sys/types.h>

// Removes whatever is at path, without following links: a file, a link, or
// a folder with everything in it. 0 when nothing is left there, else -1.
int up_tmp_remove(const char *path);

// A new, empty regular file at path, owned by this process: whatever was at
// path is removed first, and the file is created exclusively without
// following links. The open descriptor (write-only), or -1.
int up_tmp_create_fresh(const char *path, mode_t mode);

// A new, empty folder at path, made the same way. 0 or -1.
int up_tmp_mkdir_fresh(const char *path, mode_t mode);

// Copies the program src to path as a fresh file, mode 0755. 0 on success,
// 1 when src is not a readable regular file (nothing is left at path), -1
// when path could not be made fresh.
int up_tmp_copy_tool(const char *src, const char *path);

// True when path itself (not a link's target) is a regular file of root's,
// with one name and writable by root only: one this tool made in this boot.
bool up_tmp_file_is_roots(const char *path);
