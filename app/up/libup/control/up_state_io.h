// The state word's storage, taking the device and the block offset, so that
// the fixed-path operations of up_api.h and the tests share one code path.
#pragma once

#include <cstdint>
#include <sys/types.h>

// Reads the 4-byte state at offset of fd into *value. 0, or -1 when the
// read fails or comes back short (a short device must not read as state 0).
int up_state_read_at(int fd, off_t offset, int32_t *value);

// Stores value in the first 4 bytes of the erase block at offset of the MTD
// device fd, keeping the block's other bytes: read block, erase, write back.
// 0 or -1; a failure after the erase leaves the block erased.
int up_state_write_at(int fd, off_t offset, int32_t value);

// What a stored word means for the resume logic: above 256 counts as 0,
// everything else as it stands; -1 means an erased block, which the caller
// resolves with up_check_modem_state_fd.
int32_t up_state_from_word(int32_t word);

// 0 when the package at the start of fd has a modem image record, else -1
// (messages on standard output, as the fixed-path check writes them).
int up_check_modem_state_fd(int fd);
