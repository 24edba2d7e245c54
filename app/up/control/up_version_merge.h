// Merge of the package's version file with the installed one: components not
// installed in this run keep their installed version text.
#pragma once

#include <cstddef>

#define UP_VERSION_FILE "/2ndfile/version/version_info.txt"
#define UP_VERSION_WORK_FILE "/tmp/version_info.txt"

// Line buffers of the version file: 255 characters plus the terminator.
constexpr size_t UP_VERSION_LINE_SIZE = 256;

// Merges old_ver_path's records into new_ver_path in place. 0 or -1.
int up_update_version_info(const char *old_ver_path, const char *new_ver_path);

// p_buff holds one line (UP_VERSION_LINE_SIZE bytes). 1 when the line was
// changed for a component not installed in this run, else 0.
int up_set_up_version(char *p_buff, const char *old_ver_path);

// 1 and the text from ver_info_item to the line end (UP_VERSION_LINE_SIZE
// bytes at most) in p_ver_info when some line contains it, else 0.
int up_get_version_record(const char *ver_file_path, const char *ver_info_item, char *p_ver_info);

// Writes the merge of new_ver_path into work_path (which must be another
// file); the copy back is the caller's. 0 or -1.
int up_merge_version_file(const char *old_ver_path, const char *new_ver_path,
                          const char *work_path);
