// The supervisor's side of the flash operation counter (flashemu_ops.h).
#pragma once

#include "flashemu_ops.h"

#include <cstdint>
#include <string>

// Makes the counter file of a run: no operation yet, the cut to make (cut_at
// 0: none). 0 or -1.
int flash_ops_create(const std::string &path, uint64_t cut_at, uint32_t cut_mode);

// An inotify descriptor that becomes readable when a process of the run
// reports the power cut through the file; -1 on failure.
int flash_ops_watch(const std::string &path);
void flash_ops_drain_watch(int fd);

bool flash_ops_read(const std::string &path, flashemu::flash_ops_file *f);

// True once a process of the run met the cut.
bool flash_ops_cut(const std::string &path);

const char *flash_cut_mode_name(uint32_t mode);

// OUT/flash-ops: the number of operations the run began, one line. When the
// run was cut, OUT/flash-cut: "<op> <mode> <kind> <device> 0x<offset> 0x<length>".
int flash_ops_record(const std::string &path, const std::string &out_dir);
