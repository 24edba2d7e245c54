// Copies package records out into files under "/tmp", unpacking compressed
// ones, and checks the record names that become file names and command words.
#pragma once

#include <cstddef>
#include <cstdint>

#include "up_package.h"

// Longest file name a record may give: the 64-byte field, terminated.
constexpr size_t UP_RECORD_NAME_MAX = PACKAGE_NAME_SIZE + 1;

#define UP_TMP_DIR "/tmp"
#define UP_UNPACK_DIR_NAME "2ndrootfs"
#define UP_UNPACK_DIR "/tmp/2ndrootfs"
#define UP_TMP_TAR "/tmp/tar"

// True when name may become a file name under "/tmp" and a word of a shell
// command: 1..64 characters of letters, digits, '.', '_', '-' and '+', not
// "." or "..", and not the name of a tool copy or work folder the installers
// keep in "/tmp" (cp, rm, tar, umount, reboot, 2ndrootfs).
bool is_safe_record_name(const char *name);

// The record's file name: the 64-byte record_name (a full field without a NUL
// counts as 64 characters), cut at its first space. 0 when that name passes
// is_safe_record_name and fits in size bytes; -1 (logged) otherwise, with
// name set to "".
int up_record_file_name(const package_record_t *p_pack_record_t, char *name, size_t size);

// The record's whole name, uncut (used for the version record's existence
// test). 0 when it is a safe name, else -1 and "" (not logged).
int up_record_whole_name(const package_record_t *p_pack_record_t, char *name, size_t size);

// 0 when the record's data lies wholly inside the package behind i_flash_fd,
// -1 (logged) when it reaches beyond it or the size cannot be told.
int up_check_record_in_package(int i_flash_fd, const package_record_t *p_pack_record_t);

// Copies the record's data into "/tmp/<name>" (name cut at the first space);
// a compressed record is then unpacked into "/tmp/2ndrootfs" with "/tmp/tar"
// and its archive removed. 0 or -1.
int up_process_extract_submodule_file(int i_flash_fd, const package_record_t *p_pack_record_t);

// The same in other folders, so the copy and unpack can run outside the
// router: the record goes to dir/<name>; a compressed one is unpacked with
// tar_tool into unpack_dir. Production passes "/tmp", "/tmp/tar",
// "/tmp/2ndrootfs". The folder and tool paths are the caller's constants.
int up_extract_record_into(int i_flash_fd, const package_record_t *p_pack_record_t,
                           const char *dir, const char *tar_tool, const char *unpack_dir);
