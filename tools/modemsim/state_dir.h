// The modem's state directory: MODEMSTATE/flash holds what the modem keeps in
// its flash (one file per image type, the partition table, the uploaded RAM
// programmer), MODEMSTATE/out what a test reads afterwards (modem.log).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "up_fd.h"

// Creates MODEMSTATE, MODEMSTATE/flash and MODEMSTATE/out. Returns 0 or -1.
int state_dir_prepare(const char *root);

// root/sub into buf. Returns 0, or -1 when it does not fit.
int state_path(char *buf, size_t size, const char *root, const char *sub);

// An image being written: bytes go to flash/.NAME.part and only become
// flash/NAME when the transfer is committed, so a broken transfer never
// leaves a half image where a complete one is expected.
struct image_store {
    unique_fd fd;
    std::array<char, 1200> part_path{};
    std::array<char, 1200> final_path{};
};

int image_store_begin(image_store *img, const char *root, const char *name);
// Writes len bytes at offset. Returns 0 or -1.
int image_store_write(image_store *img, uint32_t offset, const uint8_t *data, size_t len);
int image_store_commit(image_store *img);
void image_store_abort(image_store *img);
bool image_store_active(const image_store *img);
